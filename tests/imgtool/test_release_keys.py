"""Release engineering's keys. Builds to ship (the switch and release
presets) refuse the test keys unless asked by name, while the test builds
take them with a warning; a test key is known by its modulus, whatever file,
line ends or public exponent it comes with; the two built-in keys must
differ; a tree without keys/test/ builds with real keys; and the words
"TEST KEYS" reach a binary only with the test keys. Checked by CMake
configure runs into temporary folders, and by compiling the two objects that
carry the build-information line."""

import base64
import hashlib
import pathlib
import shutil
import subprocess

ROOT = pathlib.Path(__file__).resolve().parents[2]
KEYS = ROOT / "keys" / "test"
REAL_KEY_OPTIONS = "-DBL_PRODUCTION_KEY=FILE.pem -DBL_DEVELOPMENT_KEY=FILE.pem"
# The objects whose bytes make the launcher's build-information line.
BUILD_INFO_OBJECTS = ("auth/builtin_keys.cpp.o", "boot/build_info.cpp.o")


def run(*args, **kwargs):
    return subprocess.run([*map(str, args)], capture_output=True, text=True, timeout=120,
                          **kwargs)


def new_public_key(folder, name):
    private, public = folder / f"{name}.key.pem", folder / f"{name}.pub.pem"
    assert run("openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
               "-out", private).returncode == 0
    assert run("openssl", "pkey", "-in", private, "-pubout", "-out", public).returncode == 0
    return public


def modulus(public):
    """The modulus of a PEM public key, by the openssl command."""
    result = run("openssl", "rsa", "-pubin", "-in", public, "-noout", "-modulus")
    assert result.returncode == 0, result.stderr
    return int(result.stdout.strip().split("=")[1], 16)


def der(tag, body):
    length = len(body)
    if length < 0x80:
        head = bytes([length])
    else:
        size = length.to_bytes((length.bit_length() + 7) // 8, "big")
        head = bytes([0x80 | len(size)]) + size
    return bytes([tag]) + head + body


def der_integer(value):
    return der(0x02, value.to_bytes(value.bit_length() // 8 + 1, "big"))


def public_pem(n, e):
    """A SubjectPublicKeyInfo for rsaEncryption, made here rather than by
    the code under test, as 64-character PEM lines."""
    algorithm = der(0x30, der(0x06, bytes.fromhex("2a864886f70d010101")) + b"\x05\x00")
    key = der(0x30, der_integer(n) + der_integer(e))
    body = base64.b64encode(der(0x30, algorithm + der(0x03, b"\0" + key))).decode()
    lines = [body[i:i + 64] for i in range(0, len(body), 64)]
    return "-----BEGIN PUBLIC KEY-----\n" + "\n".join(lines) + "\n-----END PUBLIC KEY-----\n"


def configure(folder, preset, *options, source=ROOT):
    """cmake --preset PRESET into FOLDER: the configure step only."""
    result = run("cmake", "-S", source, "--preset", preset, "-B", folder, *options)
    return result.returncode, " ".join((result.stdout + result.stderr).split())


def build_info_bytes(folder):
    """Compiles the two objects of the build-information line and returns
    their bytes: what of the line can end up in the launcher."""
    result = run("make", "-C", folder, *BUILD_INFO_OBJECTS)
    assert result.returncode == 0, result.stdout + result.stderr
    return b"".join((folder / "CMakeFiles" / "launcher.dir" / name).read_bytes()
                    for name in BUILD_INFO_OBJECTS)


def test_the_pinned_moduli_are_the_test_keys():
    """The script form of cmake/builtin_keys.cmake reads a key as a
    configure run does: its modulus hash agrees with one computed here from
    openssl's modulus, and only the two test keys are test keys."""
    others = [ROOT / "auth" / "crypto" / "testdata" / name
              for name in ("rsa2048.pub.pem", "rsa2048e3.pub.pem")]
    for key, is_test in [(KEYS / "production.pub.pem", 1), (KEYS / "development.pub.pem", 1),
                         *[(other, 0) for other in others]]:
        result = run("cmake", f"-DKEY={key}", "-P", ROOT / "cmake" / "builtin_keys.cmake")
        digest = hashlib.sha256(format(modulus(key), "x").encode()).hexdigest()
        assert result.returncode == 0, result.stderr
        assert result.stderr.split() == ["modulus-sha256", digest, "test-key", str(is_test)], key
    for bad, wanted in ((ROOT / "auth" / "crypto" / "testdata" / "rsa3072.pub.pem",
                         "is not an RSA-2048 public key in the 451-byte PEM form"),
                        (KEYS / "production.key.pem", "451-byte PEM form"),
                        (ROOT / "missing.pem", "does not exist")):
        result = run("cmake", f"-DKEY={bad}", "-P", ROOT / "cmake" / "builtin_keys.cmake")
        assert result.returncode != 0 and wanted in " ".join(result.stderr.split()), bad


def test_builds_to_ship_refuse_the_test_keys_unless_asked(tmp_path):
    production = new_public_key(tmp_path, "production")
    development = new_public_key(tmp_path, "development")
    real = [f"-DBL_PRODUCTION_KEY={production}", f"-DBL_DEVELOPMENT_KEY={development}"]
    # Copies of the test keys as the file system may hold them: another
    # name, CRLF line ends, the same modulus with another public exponent
    # (whoever has the private half has the factors, and so a private
    # exponent for any public one).
    renamed = tmp_path / "renamed.pub.pem"
    shutil.copy(KEYS / "development.pub.pem", renamed)
    crlf = tmp_path / "crlf.pub.pem"
    crlf.write_bytes((KEYS / "production.pub.pem").read_bytes().replace(b"\n", b"\r\n"))
    exponent3 = tmp_path / "e3.pub.pem"
    exponent3.write_text(public_pem(modulus(KEYS / "production.pub.pem"), 3))
    assert len(exponent3.read_bytes()) == 451
    cases = [  # folder, preset, options, what happens
        ("a", "release", [], "refused"),
        ("b", "switch", [], "refused"),
        ("c1", "release", [f"-DBL_PRODUCTION_KEY={production}", f"-DBL_DEVELOPMENT_KEY={renamed}"],
         "refused"),
        ("c2", "switch", [f"-DBL_PRODUCTION_KEY={crlf}", f"-DBL_DEVELOPMENT_KEY={development}"],
         "refused"),
        ("c3", "release", [f"-DBL_PRODUCTION_KEY={exponent3}", f"-DBL_DEVELOPMENT_KEY={development}"],
         "refused"),
        # No other option takes the refusal away: not BL_SHIP, not a -D of
        # the pinned moduli or of the result.
        ("c4", "switch", ["-DBL_SHIP=OFF"], "refused"),
        ("c5", "release", ["-DBL_TEST_KEY_MODULI=0", "-DBL_BUILTIN_TEST_KEYS=0"], "refused"),
        ("d", "release", ["-DBL_ALLOW_TEST_KEYS=ON"], "warned"),
        # The permission is given again at every configure of the preset.
        ("d", "release", [], "refused"),
        ("e", "release", real, "clean"),
        ("f", "switch", real, "clean"),
        ("g", "host", [], "warned"),
        ("h", "switch-testkeys", [], "warned"),
        ("i", "host", [f"-DBL_PRODUCTION_KEY={crlf}"], "warned"),
    ]
    for name, preset, options, outcome in cases:
        folder = tmp_path / name
        status, text = configure(folder, preset, *options)
        case = (preset, options, text[-600:])
        if outcome == "refused":
            assert status != 0, case
            assert "TEST KEYS refused" in text and REAL_KEY_OPTIONS in text, case
            assert "-DBL_ALLOW_TEST_KEYS=ON" in text, case
            assert not (folder / "Makefile").exists() or name == "d", case
            continue
        assert status == 0, case
        keys = (folder / "auth" / "builtin_keys.cpp").read_text()
        assert ("TEST KEYS: this launcher is built with the test signing keys" in text) == \
            (outcome == "warned"), case
        assert f"int builtin_keys_are_test_keys() {{ return {int(outcome == 'warned')}; }}" \
            in keys, case
        assert "\r" not in keys, case
        if outcome == "clean":
            assert production.read_text().splitlines()[1] in keys, case
    # The build-information line: "TEST KEYS" in the bytes of a build with
    # the test keys only.
    assert b"TEST KEYS" in build_info_bytes(tmp_path / "d")
    assert b"TEST KEYS" not in build_info_bytes(tmp_path / "e")


def test_the_two_keys_must_differ_and_keys_test_is_not_needed(tmp_path):
    production = new_public_key(tmp_path, "production")
    development = new_public_key(tmp_path, "development")
    # The same modulus under two names, one with another exponent.
    same = tmp_path / "same.pub.pem"
    same.write_text(public_pem(modulus(production), 3))
    for options in ([f"-DBL_PRODUCTION_KEY={production}", f"-DBL_DEVELOPMENT_KEY={same}"],
                    [f"-DBL_DEVELOPMENT_KEY={KEYS / 'production.pub.pem'}"]):
        status, text = configure(tmp_path / "same", "host", *options)
        assert status != 0 and "are the same key (the same modulus)" in text, text[-600:]
        shutil.rmtree(tmp_path / "same")

    # A release engineer's tree: the sources without keys/test/.
    tree = tmp_path / "tree"
    shutil.copytree(ROOT, tree, ignore=shutil.ignore_patterns(
        ".git", "build", "boards", "__pycache__", ".pytest_cache"))
    shutil.rmtree(tree / "keys" / "test")
    status, text = configure(tmp_path / "bare", "release", source=tree)
    assert status != 0 and f"No built-in keys: this tree has no keys/test/. " \
        f"Name the public keys with {REAL_KEY_OPTIONS}" in text, text[-600:]
    status, text = configure(tmp_path / "real", "switch", f"-DBL_PRODUCTION_KEY={production}",
                             f"-DBL_DEVELOPMENT_KEY={development}", source=tree)
    assert status == 0 and "TEST KEYS" not in text, text[-600:]
