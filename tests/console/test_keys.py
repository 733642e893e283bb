"""The key files at start-up, as an operator sees them on the console: made,
kept, repaired or deleted, with key files made and read by the openssl
command."""

import images
from console_helpers import KEYS, SERIAL, openssl

PRODUCTION = (KEYS / "production.pub.pem").read_bytes()
DEVELOPMENT = (KEYS / "development.pub.pem").read_bytes()
APP = images.component(images.APPLICATION, images.application("slot1"), "1.0.0.1")


def key_file(serial, text):
    plain = text + b"\0"
    return openssl("-e", serial, plain + b"\0" * (-len(plain) % 16))


def board_with_keys(make_switch, tmp_path, *options, production=None, development=None):
    files = []
    for name, data in (("production_key.pub.pem", production),
                       ("development_key.pub.pem", development)):
        if data is not None:
            path = tmp_path / name
            path.write_bytes(data)
            files += ["--user-file", f"{name}={path}"]
    return make_switch(*files, *options, slots={1: APP})


def user_file(switch, name):
    path = switch.board / "emmc" / "p1" / name
    return path.read_bytes() if path.exists() else None


# What a key file may hold, made from the key it should hold and the other
# built-in key, and whether start-up keeps it. Every file but the right key
# is rewritten: an empty or cut text verifies no image.
KEY_FILES = [
    ("the right key", lambda own, other: key_file(SERIAL, own), True),
    ("a zero-byte file", lambda own, other: b"", False),
    ("the first 100 bytes", lambda own, other: key_file(SERIAL, own[:100]), False),
    ("the key and 40 bytes more", lambda own, other: key_file(SERIAL, own + own[:40]), False),
    ("the other built-in key", lambda own, other: key_file(SERIAL, other), False),
    ("a file of another switch", lambda own, other: key_file("VKT3390A0002", own), False),
]


def test_key_file_is_kept_only_when_it_holds_the_whole_built_in_key(make_switch, tmp_path):
    switch = board_with_keys(make_switch, tmp_path)
    p1 = switch.board / "emmc" / "p1"
    # Three starts of one switch, each with two of the files above.
    for production, development in zip(KEY_FILES[:3], KEY_FILES[3:]):
        files = {"production_key.pub.pem": (production, PRODUCTION, DEVELOPMENT,
                                            "Updating system key....\r\n"),
                 "development_key.pub.pem": (development, DEVELOPMENT, PRODUCTION,
                                             "Updating system development key....\r\n")}
        for name, ((_, make, _), own, other, _) in files.items():
            (p1 / name).write_bytes(make(own, other))
        before = {name: user_file(switch, name) for name in files}
        start = len(switch.commands())
        switch.boot()
        switch.expect("Running filesystem check.....\r\n")
        switch.expect("Booting image '1'")
        text = switch.console.before
        switch.expect("application up: slot1")
        switch.end()
        for name, ((case, _, kept), own, _, message) in files.items():
            assert (message in text) != kept, (case, text)
            if kept:
                assert user_file(switch, name) == before[name], case
            else:
                assert openssl("-d", SERIAL, user_file(switch, name)) == own + b"\0" * 13, case
        assert "WARNING - problem with security keys" not in text
        assert not any(c.startswith("rm ") for c in switch.commands()[start:])


def test_misaligned_key_file_deletes_every_key_file_and_the_next_load_recreates(
        make_switch, tmp_path):
    switch = board_with_keys(make_switch, tmp_path, production=b"x" * 500,
                             development=key_file(SERIAL, DEVELOPMENT))
    switch.boot()
    switch.expect("Input data is not AES size correct")
    switch.expect("application up: slot1")
    text = switch.console.before
    switch.end()
    assert "WARNING - problem with security keys" not in text
    assert "rm /user/*.pem" in switch.commands()
    # Both files went; the development key's load that followed wrote its
    # file afresh, the production file waits for the next load.
    assert user_file(switch, "production_key.pub.pem") is None
    assert openssl("-d", SERIAL, user_file(switch, "development_key.pub.pem")) == \
        DEVELOPMENT + b"\0" * 13


def test_oversize_key_file_is_refused_and_start_up_warns(make_switch, tmp_path):
    switch = board_with_keys(make_switch, tmp_path, production=b"x" * 501)
    switch.boot()
    switch.expect("ERROR loading key as length too long 501 > 500")
    switch.expect("WARNING - problem with security keys. No keys found")
    switch.expect("application up: slot1")
    switch.end()
    assert user_file(switch, "production_key.pub.pem") == b"x" * 501
    # The development key was not loaded after the failure.
    assert user_file(switch, "development_key.pub.pem") is None


def test_blank_serial_uses_the_built_in_keys_and_no_files(make_switch, tmp_path):
    switch = board_with_keys(make_switch, tmp_path, "--serial", "blank")
    switch.boot()
    for _ in range(2):
        switch.expect("WARNING: Serial # not set on this unit. Built in keys must be used")
    switch.expect("application up: slot1")
    text = switch.console.before
    switch.end()
    assert "WARNING - problem with security keys" not in text
    assert user_file(switch, "production_key.pub.pem") is None
    assert user_file(switch, "development_key.pub.pem") is None
