"""The management port's set-up at start-up (boot setting gdbserver), as an
operator answers it on the console: questions, refusals, the commands run,
the counted waits and the link test."""

import images

GOOD1 = images.component(images.APPLICATION, images.application("slot1"), "1.2.3.4")
DHCP_QUESTION = "Confirm: Use DHCP for network configuration? y/N: "
LONG_HEX = "0x" + "0" * 117 + "F0000000" + "0"


def slept_us(switch):
    return int((switch.board / "slept-us").read_text())


def network_commands(switch):
    return [c for c in switch.commands() if c.startswith(("ifconfig", "route", "dhclient"))]


def answer(switch, prompt, line):
    switch.expect(prompt)
    switch.console.send(line + "\r")


def gdbserver_switch(make_switch, *options, name="board"):
    switch = make_switch("--env", "gdbserver=on", *options, slots={1: GOOD1}, name=name)
    switch.boot()
    switch.expect(DHCP_QUESTION)
    return switch, slept_us(switch)


def test_static_set_up_refuses_unusable_addresses_and_waits_26_seconds(make_switch, engine):
    switch, start = gdbserver_switch(make_switch, name="static")
    switch.console.send("no thanks\r")
    # The answer's line, then an empty one before the first address.
    switch.expect("IP addr    :")
    assert switch.console.before == "no thanks\r\n\r\n"
    switch.console.send("\r")
    refused = {"": "Invalid IP address. Try again please",
               "0.0.0.0": "Invalid IP address 0.0.0.0. Try again please",
               "0.1.2.3": "Invalid IP address 0.1.2.3. Try again please",
               "240.0.0.1": "Invalid IP address 240.0.0.1. Try again please",
               "1" * 500: "Invalid IP address. Try again please",
               # The editor keeps 127 characters: 240.0.0.0 in hex, refused
               # for its first octet. A 128th digit would overflow it.
               LONG_HEX: f"Invalid IP address {LONG_HEX[:127]}. Try again please",
               "$(reboot)": "Invalid IP address. Try again please"}
    switch.expect(refused.pop(""))
    for line, message in refused.items():
        answer(switch, "IP addr    :", line)
        switch.expect(message)
    # Tab is a control key: the editor rings the bell and keeps the line.
    answer(switch, "IP addr    :", "192.0.2\t.2")
    answer(switch, "Netmask    :", "255.255.255.0")
    answer(switch, "Gateway    :", "192.0.2.1")
    switch.expect("\tNetmask    : 255.255.255.0")
    switch.expect("\tGateway    : 192.0.2.1")
    switch.expect("Configuring management port" + "." * 23 + "\r\n")
    switch.expect("Booting image '1'")
    # The link is up: the set-up ends without a complaint between the dots
    # and the boot.
    assert "Mgmt link not available" not in switch.console.before
    assert "error" not in switch.console.before
    switch.expect("gdbserver (sandbox)")
    text = switch.end()
    assert network_commands(switch) == [
        "ifconfig eth0 192.0.2.2\\n", "ifconfig eth0 down\\n",
        "ifconfig eth0 netmask 255.255.255.0\\n", "ifconfig eth0 up\\n",
        "route add default gw 192.0.2.1\\n"]
    assert [c for c in switch.commands() if "reboot" in c] == ["reboot"]  # the debugger run's end
    if engine == "e500":
        # busybox's ifconfig and route did it: the port's address and the
        # route the debugger server found.
        assert "eth0 address 192.0.2.2\r\ndefault route via 192.0.2.1\r\n" in text
        return
    static_us = slept_us(switch) - start

    # The same boot with DHCP: any line starting with y selects it, and its
    # only wait is 3 seconds, so the static set-up counted 26 (the sleeps
    # the namespace engine adds up).
    switch, start = gdbserver_switch(make_switch, name="dhcp")
    switch.console.send("yes please\r")
    switch.expect("Booting image '1'")
    text = switch.end()
    dhcp_us = slept_us(switch) - start
    assert "IP addr" not in text
    assert network_commands(switch) == ["dhclient -1 eth0"]
    assert static_us - dhcp_us == (26 - 3) * 1000000


def test_dhcp_sets_the_port_up_for_the_debugger_server_on_its_default_port(make_switch, engine):
    switch, _ = gdbserver_switch(make_switch)
    switch.console.send("y\r")
    switch.expect("Booting image '1'")
    assert "Mgmt link not available" not in switch.console.before
    assert "error" not in switch.console.before
    switch.expect("gdbserver (sandbox): :1234 /tmp/home/bin/mp.elf.strip\r\n")
    text = switch.end()
    assert "IP addr" not in text
    assert network_commands(switch) == ["dhclient -1 eth0"]
    if engine == "e500":
        # busybox's DHCP client took QEMU's lease: the address the
        # debugger server found on the port.
        assert "eth0 address 192.0.2.15\r\n" in text


def short_static_set_up(switch, gateway):
    """No DHCP, a short address, no netmask."""
    switch.console.send("\r")
    answer(switch, "IP addr    :", "10.1")
    answer(switch, "Netmask    :", "")
    answer(switch, "Gateway    :", gateway)


def test_link_down_is_reported_and_short_addresses_and_empty_netmask_pass(make_switch, engine):
    switch, _ = gdbserver_switch(make_switch, "--link", "down")
    short_static_set_up(switch, "224.0.0.1")
    switch.expect("\tGateway    : 224.0.0.1")
    switch.expect("Mgmt link not available. Quitting.")
    switch.expect("Booting image '1'")
    text = switch.end()
    assert "Netmask    : " not in text
    assert network_commands(switch) == ["ifconfig eth0 10.0.0.1\\n",
                                        "route add default gw 224.0.0.1\\n"]
    if engine == "e500":
        return  # the emulated board always has its port

    # A switch without the port at all says which interface it could not open.
    switch, _ = gdbserver_switch(make_switch, "--link", "absent", name="no-port")
    short_static_set_up(switch, "")
    switch.expect("Open Interface eth0 error.\r\nMgmt link not available. Quitting.")
    switch.expect("Booting image '1'")
    # The socket that asked is closed: the debugger server gets none of it.
    switch.expect("gdbserver (sandbox): :1234 ")
    switch.end()
    # Nor is a port whose driver cannot tell its link state one to use.
    switch, _ = gdbserver_switch(make_switch, "--link", "unreported", name="no-report")
    short_static_set_up(switch, "")
    switch.expect("EthTool GLINK error.\r\nMgmt link not available. Quitting.")
    switch.expect("Booting image '1'")
    switch.expect("gdbserver (sandbox): :1234 ")
    switch.end()


def test_ctrl_c_at_the_dhcp_question_skips_the_set_up(make_switch):
    switch, _ = gdbserver_switch(make_switch)
    switch.console.sendcontrol("c")
    switch.console.send("\r")
    switch.expect("Booting image '1'")
    text = switch.end()
    assert "IP addr" not in text
    assert network_commands(switch) == []
