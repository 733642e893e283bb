"""imgtool pack --sign with a key that stays in a hardware security module:
SoftHSM, with a token made here, reached through a PKCS#11 URI. What it
signs verifies with the launcher's own RSA code (imgtool verify)."""

import os
import pathlib
import subprocess

ROOT = pathlib.Path(__file__).resolve().parents[2]
IMGTOOL = os.environ.get("IMGTOOL", str(ROOT / "build" / "host" / "imgtool"))
KEYS = ROOT / "keys" / "test"
SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"


def run(*args, **kwargs):
    return subprocess.run([*map(str, args)], capture_output=True, text=True, timeout=120,
                          **kwargs)


def make_token(tmp_path):
    """A SoftHSM token "release" holding an RSA-2048 key pair "production",
    made in the module; returns the environment that reaches it and the
    public key exported from the token as PEM."""
    (tmp_path / "tokens").mkdir()
    conf = tmp_path / "softhsm2.conf"
    conf.write_text(f"directories.tokendir = {tmp_path / 'tokens'}\n"
                    "objectstore.backend = file\nlog.level = ERROR\n")
    env = dict(os.environ, SOFTHSM2_CONF=str(conf), PKCS11_MODULE_PATH=SOFTHSM)
    env.pop("IMGTOOL_PKCS11_PIN", None)
    steps = [
        ["softhsm2-util", "--init-token", "--free", "--label", "release",
         "--pin", "1234", "--so-pin", "5678"],
        ["pkcs11-tool", "--module", SOFTHSM, "--token-label", "release", "--login",
         "--pin", "1234", "--keypairgen", "--key-type", "rsa:2048",
         "--label", "production", "--id", "01"],
        ["pkcs11-tool", "--module", SOFTHSM, "--token-label", "release", "--read-object",
         "--type", "pubkey", "--label", "production", "-o", tmp_path / "hsm.pub.der"],
        ["openssl", "pkey", "-pubin", "-inform", "DER", "-in", tmp_path / "hsm.pub.der",
         "-out", tmp_path / "hsm.pub.pem"],
    ]
    for step in steps:
        result = run(*step, env=env)
        assert result.returncode == 0, (step, result.stdout, result.stderr)
    return env, tmp_path / "hsm.pub.pem"


def test_pack_signs_with_a_key_in_a_hardware_security_module(tmp_path):
    env, public = make_token(tmp_path)
    payload = tmp_path / "app.tar.gz"
    payload.write_bytes(bytes((i * 7 + (i >> 8)) & 0xFF for i in range(20000)))
    uri = "pkcs11:token=release;object=production"
    out = tmp_path / "image.img"
    # Two components signed in the module (one engine, one login), one with
    # the test key file: both kinds of --sign in one run.
    result = run(IMGTOOL, "pack", "-o", out, "--type", "kernel", "--sign", uri, payload,
                 "--type", "rootfs", "--sign", KEYS / "production.key.pem", payload,
                 "--type", "application", "--sign", uri, payload,
                 env=dict(env, IMGTOOL_PKCS11_PIN="1234"))
    assert result.returncode == 0, result.stderr
    # The module's key verifies as the production key; the file's is not it.
    result = run(IMGTOOL, "verify", "--key", public, "--dev-key", KEYS / "production.pub.pem",
                 out)
    lines = result.stdout.splitlines()
    assert result.returncode == 1 and len(lines) == 4 and lines[3] == f"{out}: FAILED", lines
    verdicts = [line.split("; ")[-2] for line in lines[:3]]
    assert verdicts[0] == verdicts[2] == "signature verified with the production key"
    assert verdicts[1].startswith(f"signature does not verify with {public} (status ")
    assert verdicts[1].endswith(f"but verifies with the development key "
                                f"{KEYS / 'production.pub.pem'}")

    # Refused before anything is written: a wrong PIN, a PIN in the URI, a
    # key the token does not hold, no PIN and no terminal to ask on.
    for pin, key, wanted in (
            ("0000", uri, f"{uri}: no private key the module lets us use"),
            (None, uri + ";pin-value=1234", "a PIN in the PKCS#11 URI is refused; give it "
                                            "in IMGTOOL_PKCS11_PIN"),
            ("1234", "pkcs11:token=release;object=other", "no private key the module lets"),
            (None, uri, f"{uri}: no private key the module lets us use")):
        again = tmp_path / "again.img"
        case_env = dict(env, **({"IMGTOOL_PKCS11_PIN": pin} if pin else {}))
        result = run("setsid", IMGTOOL, "pack", "-o", again, "--type", "kernel", "--sign", key,
                     payload, env=case_env, stdin=subprocess.DEVNULL)
        assert result.returncode == 2 and wanted in result.stderr, (pin, key, result.stderr)
        assert not list(tmp_path.glob("again.img*")), key
