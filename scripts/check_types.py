"""Type-checks calls of the installed tolvane with mypy --strict: every call in
python/tests/type_checks/correct_calls.py must pass (and run), and every line
of wrong_calls.py that ends in "# E: <error>" must give exactly that error,
with no other error anywhere. mypy's stubtest then compares the stub with the
module's own signatures.

    python3 scripts/check_types.py      (with tolvane and mypy installed)
"""
import pathlib
import re
import subprocess
import sys

root = pathlib.Path(__file__).resolve().parent.parent
checks = root / "python" / "tests" / "type_checks"
correct, wrong = checks / "correct_calls.py", checks / "wrong_calls.py"

expected = {(wrong.name, number, line.split("# E: ", 1)[1].strip())
            for number, line in enumerate(wrong.read_text().splitlines(), 1) if "# E: " in line}
# Run from the checks' own folder so that mypy sees the installed package, not python/tolvane.
mypy = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                       "--cache-dir", str(root / "build" / "mypy-cache"), correct.name, wrong.name],
                      cwd=checks, capture_output=True, text=True)
found = set()
for line in mypy.stdout.splitlines():
    match = re.match(r"(.+?):(\d+): error: (.*)$", line)
    if match:
        found.add((pathlib.Path(match[1]).name, int(match[2]), match[3]))
    elif ": note: " not in line:
        found.add(("mypy", 0, line))
if mypy.stderr:
    found.add(("mypy", 0, mypy.stderr.strip()))

failures = [f"unexpected: {f}:{n}: {text}" for f, n, text in sorted(found - expected)]
failures += [f"missing: {f}:{n}: {text}" for f, n, text in sorted(expected - found)]
ran = subprocess.run([sys.executable, correct.name], cwd=checks, capture_output=True, text=True)
if ran.returncode != 0:
    failures.append(f"{correct.name} does not run:\n{ran.stderr}")
stubtest = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tolvane"], cwd=checks,
                          capture_output=True, text=True)
if stubtest.returncode != 0:
    failures.append(f"the stub differs from the module:\n{stubtest.stdout}{stubtest.stderr}")

for failure in failures:
    print(failure)
print("type checks: failed" if failures else
      f"type checks: correct calls accepted and run, {len(expected)} wrong calls refused as "
      "expected, the stub matches the module")
sys.exit(1 if failures else 0)
