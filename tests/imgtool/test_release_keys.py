"""Release engineering's keys. Builds to ship (the switch and release
presets) refuse the test keys unless asked by name, while the test builds
take them with a warning: checked by CMake configure runs only, into
temporary folders."""

import pathlib
import shutil
import subprocess

ROOT = pathlib.Path(__file__).resolve().parents[2]
KEYS = ROOT / "keys" / "test"
REAL_KEY_OPTIONS = "-DBL_PRODUCTION_KEY=FILE.pem -DBL_DEVELOPMENT_KEY=FILE.pem"


def run(*args, **kwargs):
    return subprocess.run([*map(str, args)], capture_output=True, text=True, timeout=120,
                          **kwargs)


def new_public_key(folder, name):
    private, public = folder / f"{name}.key.pem", folder / f"{name}.pub.pem"
    assert run("openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
               "-out", private).returncode == 0
    assert run("openssl", "pkey", "-in", private, "-pubout", "-out", public).returncode == 0
    return public


def configure(folder, preset, *options):
    """cmake --preset PRESET into FOLDER: the configure step only."""
    result = run("cmake", "-S", ROOT, "--preset", preset, "-B", folder, *options)
    return result.returncode, " ".join((result.stdout + result.stderr).split())


def test_builds_to_ship_refuse_the_test_keys_unless_asked(tmp_path):
    production = new_public_key(tmp_path, "production")
    development = new_public_key(tmp_path, "development")
    # The test development key under another name: recognised by its text.
    renamed = tmp_path / "renamed.pub.pem"
    shutil.copy(KEYS / "development.pub.pem", renamed)
    real = [f"-DBL_PRODUCTION_KEY={production}", f"-DBL_DEVELOPMENT_KEY={development}"]
    cases = [  # folder, preset, options, what happens
        ("a", "release", [], "refused"),
        ("b", "switch", [], "refused"),
        ("c", "release",
         [f"-DBL_PRODUCTION_KEY={production}", f"-DBL_DEVELOPMENT_KEY={renamed}"], "refused"),
        ("d", "release", ["-DBL_ALLOW_TEST_KEYS=ON"], "warned"),
        # The permission is given again at every configure of the preset.
        ("d", "release", [], "refused"),
        ("e", "release", real, "clean"),
        ("f", "switch", real, "clean"),
        ("g", "host", [], "warned"),
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
        assert keys.rstrip().endswith(f"return {int(outcome == 'warned')}; }}"), case
        if outcome == "clean":
            assert production.read_text().splitlines()[1] in keys, case
