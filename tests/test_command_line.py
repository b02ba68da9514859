"""python -m korvo on the shared instances: summaries, solution files, IIS
files and exit codes."""
import csv
import gzip
import os
import shutil
import subprocess
import sys

import pytest

import korvo
from korvo.__main__ import main


def run(*args):
    """Runs the command line in a fresh interpreter: (exit code, stdout, stderr)."""
    done = subprocess.run([sys.executable, "-m", "korvo", *args], capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


def test_lp_summary_and_solution_file(instances_dir, tmp_path):
    out = tmp_path / "afiro.csv"
    code, stdout, _ = run(os.path.join(instances_dir, "afiro.mps"), "--quiet", "--write-solution", str(out))
    assert code == 0
    assert "Status    lp_optimal" in stdout and "27 rows, 32 columns" in stdout
    objective = float(stdout.split("Objective ")[1].split()[0])
    assert objective == pytest.approx(-464.75314286, rel=1e-8)
    with open(out, newline="") as f:
        rows = list(csv.DictReader(f))
    assert len([r for r in rows if r["type"] == "C"]) == 32


def test_gzip_mip_with_gap_threads_and_controls(instances_dir, tmp_path, capsys):
    packed = tmp_path / "flugpl.mps.gz"
    with open(os.path.join(instances_dir, "flugpl.mps"), "rb") as src, gzip.open(packed, "wb") as dst:
        shutil.copyfileobj(src, dst)
    out = tmp_path / "flugpl.sol"
    code = main([str(packed), "--quiet", "--gap", "0", "--threads", "1", "--time-limit", "60",
                 "--set", "presolve=1", "--write-solution", str(out)])
    stdout = capsys.readouterr().out
    assert code == 0
    assert "mip_optimal" in stdout and "Nodes" in stdout and "Gap" in stdout
    assert float(stdout.split("Objective ")[1].split()[0]) == pytest.approx(1201500)
    # The plain solution file reads back into the same model.
    korvo.setOutputEnabled(False)
    p = korvo.problem()
    p.read(str(packed))
    p.readslxsol(str(out))
    assert p.getObjVal() == pytest.approx(1201500)
    korvo.setOutputEnabled(True)


def test_infeasible_model_with_iis(instances_dir, tmp_path):
    target = tmp_path / "conflict.lp"
    code, stdout, _ = run(os.path.join(instances_dir, "galenet.mps"), "--quiet", "--iis", str(target))
    assert code == 2
    assert "lp_infeas" in stdout and "IIS" in stdout
    # The written set is itself infeasible.
    korvo.setOutputEnabled(False)
    q = korvo.problem()
    q.read(str(target))
    q.solve()
    assert q.attributes.lpstatus == korvo.lp_infeas
    korvo.setOutputEnabled(True)
    # Without --iis no file is made; a MIP's infeasibility gives the same code.
    code, stdout, _ = run(os.path.join(instances_dir, "infeasible-mip0.mps"), "--quiet")
    assert code == 2 and "IIS" not in stdout


def test_limits_usage_and_file_errors(instances_dir, tmp_path, capsys):
    code = main([os.path.join(instances_dir, "egout.mps"), "--quiet", "--set", "maxnode=1", "--set",
                 "heureffort=0"])
    stdout = capsys.readouterr().out
    assert code in (0, 1)
    if code == 1:
        assert "Stopped" in stdout
    assert main([str(tmp_path / "missing.mps"), "--quiet"]) == 4
    assert "cannot read" in capsys.readouterr().err
    afiro = os.path.join(instances_dir, "afiro.mps")
    assert main([afiro, "--quiet", "--set", "nosuchcontrol=3"]) == 3
    assert "nosuchcontrol" in capsys.readouterr().err
    assert main([afiro, "--set", "novalue"]) == 3
    assert main([afiro, "--time-limit", "-1"]) == 3
    assert main([afiro, "--bogus"]) == 3
    assert main([afiro, "--quiet", "--write-solution", str(tmp_path / "no" / "dir" / "x.csv")]) == 4
