"""scripts/mutate's answers to bad input, and its sample drawn the same way
for the same seed. Only --list runs here: it builds and runs nothing."""

import os
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def mutate(*args):
    return subprocess.run([os.path.join(ROOT, "scripts", "mutate"), *args, "--list"], cwd=ROOT,
                          capture_output=True, text=True, timeout=120)


def test_bad_input_is_refused_with_a_message_and_status_2(tmp_path):
    survivors = tmp_path / "survivors.txt"
    survivors.write_text("survived: boot/none.cpp:1 delete: x;  ->  \n")
    for args, message in [
            (["tests/console/test_boot.py"], "is not one of the launcher's sources"),
            (["platform/sandbox/platform_sandbox.cpp"], "is not one of the launcher's sources"),
            (["auth/keyfile.cpp", "--sample", "100000"], "there are"),
            (["--seed", "one"], "--seed wants a whole number, not 'one'"),
            (["--sample", "-3"], "--sample wants a whole number"),
            (["--only", str(survivors)], "no such mutant here: boot/none.cpp:1 delete"),
            (["--only", str(tmp_path / "absent")], "No such file or directory")]:
        result = mutate(*args)
        assert (result.returncode, result.stdout) == (2, ""), args
        assert message in result.stderr, (args, result.stderr)


def test_same_seed_same_sample_and_only_runs_the_lines_it_names(tmp_path):
    first = mutate("--sample", "40", "--seed", "7").stdout.splitlines()
    assert first == mutate("--sample", "40", "--seed", "7").stdout.splitlines()
    assert first != mutate("--sample", "40", "--seed", "8").stdout.splitlines()
    assert first[-1] == "40 mutants (seed 7)"
    # The survivor lines of a run, reason and all, name their mutants again.
    chosen = tmp_path / "chosen.txt"
    chosen.write_text(f"survived: {first[3]} (no test reaches this line)\n{first[11]}\n")
    again = mutate("--sample", "40", "--seed", "7", "--only", str(chosen)).stdout.splitlines()
    assert sorted(again[:-1]) == sorted([first[3], first[11]])
    assert again[-1] == "2 mutants (seed 7)"
