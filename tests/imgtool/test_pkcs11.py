"""imgtool pack --sign with a key that stays in a hardware security module:
SoftHSM, with tokens made here, reached through a PKCS#11 URI. What it
signs verifies with the launcher's own RSA code (imgtool verify); the PIN
comes from a file, the environment or the terminal, and is never shown;
each way to fail on the way to the key has its own message and status, and
none leaves anything written."""

import os
import pathlib
import subprocess

import pexpect

ROOT = pathlib.Path(__file__).resolve().parents[2]
IMGTOOL = os.environ.get("IMGTOOL", str(ROOT / "build" / "host" / "imgtool"))
KEYS = ROOT / "keys" / "test"
SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"
PIN = "pin-4711-secret"
URI = "pkcs11:token=release;object=production"


def run(*args, **kwargs):
    return subprocess.run([*map(str, args)], capture_output=True, text=True, timeout=120,
                          **kwargs)


def make_tokens(tmp_path):
    """A SoftHSM token "release" holding key pairs made in the module: the
    RSA-2048 "production", an RSA-3072 "big" and an EC "curve"; and an empty
    token "spare". Returns the environment that reaches them (no PIN in it)
    and the production public key exported from the token as PEM."""
    (tmp_path / "tokens").mkdir()
    conf = tmp_path / "softhsm2.conf"
    conf.write_text(f"directories.tokendir = {tmp_path / 'tokens'}\n"
                    "objectstore.backend = file\nlog.level = ERROR\n")
    env = dict(os.environ, SOFTHSM2_CONF=str(conf), PKCS11_MODULE_PATH=SOFTHSM)
    for name in ("IMGTOOL_PKCS11_PIN", "IMGTOOL_PKCS11_PIN_FILE", "OPENSSL_ENGINES"):
        env.pop(name, None)
    tool = ["pkcs11-tool", "--module", SOFTHSM, "--token-label", "release"]
    steps = [
        ["softhsm2-util", "--init-token", "--free", "--label", "release",
         "--pin", PIN, "--so-pin", "5678"],
        ["softhsm2-util", "--init-token", "--free", "--label", "spare",
         "--pin", PIN, "--so-pin", "5678"],
        *[[*tool, "--login", "--pin", PIN, "--keypairgen", "--key-type", kind,
           "--label", label, "--id", ident]
          for kind, label, ident in (("rsa:2048", "production", "01"), ("rsa:3072", "big", "02"),
                                     ("EC:prime256v1", "curve", "03"))],
        [*tool, "--read-object", "--type", "pubkey", "--label", "production",
         "-o", tmp_path / "hsm.pub.der"],
        ["openssl", "pkey", "-pubin", "-inform", "DER", "-in", tmp_path / "hsm.pub.der",
         "-out", tmp_path / "hsm.pub.pem"],
    ]
    for step in steps:
        result = run(*step, env=env)
        assert result.returncode == 0, (step, result.stdout, result.stderr)
    return env, tmp_path / "hsm.pub.pem"


def test_signs_in_the_module_with_the_pin_from_a_file_the_environment_or_the_terminal(tmp_path):
    env, public = make_tokens(tmp_path)
    payload = tmp_path / "app.tar.gz"
    payload.write_bytes(bytes((i * 7 + (i >> 8)) & 0xFF for i in range(20000)))
    pin_file = tmp_path / "pin"
    pin_file.write_text(PIN + "\n")
    pin_file.chmod(0o600)
    crlf_file = tmp_path / "pin-crlf"
    crlf_file.write_bytes(PIN.encode() + b"\r\n")
    crlf_file.chmod(0o600)
    out = tmp_path / "image.img"
    # Two components signed in the module (one engine, one login), one with
    # the test key file between them: both kinds of --sign in one run.
    components = ["--type", "kernel", "--sign", URI, payload,
                  "--type", "rootfs", "--sign", KEYS / "production.key.pem", payload,
                  "--type", "application", "--sign", URI + ";id=%01", payload]
    for how, extra, case_env, given in (
            ("--pin-file", ["--pin-file", pin_file], env, None),
            # The release flow of docs/imgtool.md: the PIN through a pipe.
            ("a pipe", ["--pin-file", "/dev/stdin"], env, PIN + "\n"),
            ("IMGTOOL_PKCS11_PIN_FILE", [], dict(env, IMGTOOL_PKCS11_PIN_FILE=str(crlf_file)),
             None),
            ("IMGTOOL_PKCS11_PIN", [], dict(env, IMGTOOL_PKCS11_PIN=PIN), None)):
        result = run(IMGTOOL, "pack", "-o", out, *extra, *components, env=case_env, input=given)
        assert result.returncode == 0, (how, result.stderr)
        assert PIN not in result.stdout + result.stderr, how
        # The module's key verifies as the production key; the file's is not it.
        result = run(IMGTOOL, "verify", "--key", public, "--dev-key",
                     KEYS / "production.pub.pem", out)
        lines = result.stdout.splitlines()
        assert result.returncode == 1 and len(lines) == 4 and lines[3] == f"{out}: FAILED", \
            (how, lines)
        verdicts = [line.split("; ")[-2] for line in lines[:3]]
        assert verdicts[0] == verdicts[2] == "signature verified with the production key", how
        assert verdicts[1].startswith(f"signature does not verify with {public} (status "), how
        out.unlink()

    # No PIN given: asked for on the terminal, with echo off.
    child = pexpect.spawn(IMGTOOL, ["pack", "-o", str(out), "--type", "kernel", "--sign", URI,
                                    str(payload)], env=env, timeout=60, encoding="utf-8")
    child.expect_exact('PIN for token "release": ')
    child.sendline(PIN)
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0, child.before
    assert PIN not in child.before and f"{out}: 1 component" in child.before
    assert run(IMGTOOL, "verify", "--key", public, out).returncode == 0


def test_each_way_to_fail_on_the_way_to_the_key(tmp_path):
    env, _ = make_tokens(tmp_path)
    payload = tmp_path / "app.tar.gz"
    payload.write_bytes(b"payload" * 1000)
    good, wrong, empty = tmp_path / "pin", tmp_path / "wrong-pin", tmp_path / "empty-pin"
    for path, text in ((good, PIN + "\n"), (wrong, "0000\n"), (empty, "\n")):
        path.write_text(text)
        path.chmod(0o600)
    (tmp_path / "engines").mkdir()
    not_a_module = tmp_path / "notes.so"
    not_a_module.write_text("no module here\n")
    libz = "/usr/lib/x86_64-linux-gnu/libz.so.1"
    pin = ["--pin-file", good]
    cases = [  # what, options, URI, environment changes, status, message (or its parts)
        ("wrong PIN", ["--pin-file", wrong], URI, {}, 1,
         'wrong PIN for token "release": the token refused it. A token counts wrong PINs and '
         "locks the PIN after a few"),
        # The module lists its tokens in an order of its own.
        ("no such token", pin, "pkcs11:token=vault;object=production", {}, 1,
         (f'no token "vault" in the PKCS#11 module {SOFTHSM} (its tokens: "', '"release"',
          '"spare"')),
        ("no such key", pin, "pkcs11:token=release;object=other", {}, 1,
         'no private key "other" on token "release" (its private keys: '),
        ("no key with that id", pin, URI + ";id=%02", {}, 1,
         'no private key "production" with that id on token "release"'),
        ("no key on the token", pin, "pkcs11:token=spare;object=production", {}, 1,
         'no private key "production" on token "spare" (it holds no private key)'),
        ("module missing", pin, URI, {"PKCS11_MODULE_PATH": str(tmp_path / "missing.so")}, 1,
         f"cannot load the PKCS#11 module {tmp_path / 'missing.so'}: "),
        ("module not loadable", pin, URI, {"PKCS11_MODULE_PATH": str(not_a_module)}, 1,
         f"cannot load the PKCS#11 module {not_a_module}: "),
        ("no module", pin, URI, {"PKCS11_MODULE_PATH": libz}, 1,
         f"{libz} is not a PKCS#11 module (no C_GetFunctionList)"),
        ("engine missing", pin, URI, {"OPENSSL_ENGINES": str(tmp_path / "engines")}, 1,
         f"OpenSSL's pkcs11 engine is not installed in {tmp_path / 'engines'}: install the "
         "Debian package libengine-pkcs11-openssl"),
        ("RSA-3072 in the module", pin, "pkcs11:token=release;object=big", {}, 1,
         "pkcs11:token=release;object=big: an RSA-3072 key: the switch verifies RSA-2048 "
         "signatures only"),
        ("EC in the module", pin, "pkcs11:token=release;object=curve", {}, 1,
         "pkcs11:token=release;object=curve: not an RSA key (EC)"),
        # Usage errors: the command line or the PIN's source is wrong.
        ("no object", pin, "pkcs11:token=release", {}, 2,
         "the URI must name the token and the key: pkcs11:token=LABEL;object=LABEL (no object)"),
        ("no token", pin, "pkcs11:object=production;id=%01", {}, 2, "(no token)"),
        ("PIN in the URI", [], URI + "?pin-value=" + PIN, {}, 2,
         "a PIN in the PKCS#11 URI is refused"),
        ("PIN file missing", ["--pin-file", tmp_path / "nope"], URI, {}, 2,
         f"cannot read the PIN file {tmp_path / 'nope'}: No such file or directory"),
        ("PIN file a folder", [], URI, {"IMGTOOL_PKCS11_PIN_FILE": str(tmp_path)}, 2,
         f"cannot read the PIN file {tmp_path}: Is a directory"),
        ("PIN file empty", ["--pin-file", empty], URI, {}, 2,
         f"the PIN file {empty} holds no PIN"),
        ("no PIN, no terminal", [], URI, {}, 2,
         'no PIN for token "release": give it in a file (--pin-file FILE or '
         "IMGTOOL_PKCS11_PIN_FILE), or run on a terminal to be asked"),
    ]
    out = tmp_path / "again.img"
    for what, options, uri, changes, status, message in cases:
        # setsid: no controlling terminal to ask a PIN on.
        result = run("setsid", "-w", IMGTOOL, "pack", "-o", out, *options,
                     "--type", "kernel", "--sign", uri, payload,
                     env=dict(env, **changes), stdin=subprocess.DEVNULL)
        case = (what, result.stderr)
        fragments = (message,) if isinstance(message, str) else message
        assert result.returncode == status, case
        assert all(fragment in result.stderr for fragment in fragments), case
        assert result.stdout == "" and PIN not in result.stderr, case
        # One message, not the engine's or the module's own lines as well.
        assert result.stderr.count("\n") == 1 and result.stderr.startswith("imgtool pack: "), case
        assert not list(tmp_path.glob("again.img*")), what
