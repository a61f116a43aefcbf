"""Ctrl-C in Octave stops the toolbox's gateway between batches of sources,
and the next call works: an interactive octave-cli gets SIGINT one second
into a scan of about ten seconds.

    interrupt_check.py OCTAVE_CLI TOOLBOX_DIR
"""
import re
import signal
import subprocess
import sys
import time

SETUP = r"""
addpath('{toolbox}');
k = (1:2000)'; d = [cos(k) sin(k) 2 + 0 * k]; d = d ./ sqrt(sum(d .^ 2, 2));
P = [110 * d; 115 * d]; O = [d; d];
rows = [ones(2000, 1); 2 * ones(2000, 1)]; cols = (1:4000)'; w = ones(4000, 1);
src = 70 * (rand(400000, 3) - 0.5);
printf('ready\n'); fflush(stdout);
"""
SCAN = ("printf('started\\n'); fflush(stdout); tic; "
        "G = megfwd_mex('gain', P, O, [0 0 0 90], rows, cols, w, 2, [1 2], src, 2, 5000); printf('finished\\n');\n")
AFTER = ("printf('stopped after %.2f s\\n', toc); fflush(stdout); "
         "G = megfwd_mex('gain', P, O, [0 0 0 90], rows, cols, w, 2, [1 2], src(1:10, :), 2, 0); "
         "printf('next call %d x %d\\n', size(G)); fflush(stdout); exit(0)\n")


def read_until(proc, word, timeout):
    end = time.monotonic() + timeout
    lines = []
    while time.monotonic() < end:
        line = proc.stdout.readline()
        if not line:
            break
        lines.append(line)
        if word in line:
            return lines
    raise SystemExit(f"no '{word}' from octave-cli; it printed:\n{''.join(lines)}")


def main(octave, toolbox):
    proc = subprocess.Popen([octave, "--norc", "--no-history", "--no-gui", "-q", "-i"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, bufsize=1)
    try:
        proc.stdin.write(SETUP.format(toolbox=toolbox))
        proc.stdin.flush()
        read_until(proc, "ready", 60)
        proc.stdin.write(SCAN)
        proc.stdin.flush()
        read_until(proc, "started", 60)
        time.sleep(1.0)
        proc.send_signal(signal.SIGINT)
        proc.stdin.write(AFTER)
        proc.stdin.flush()
        out = "".join(read_until(proc, "next call", 60))
        proc.wait(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
    stopped = [float(v) for v in re.findall(r"stopped after ([0-9.]+) s", out)]
    ok = "finished" not in out and stopped and stopped[0] < 4.0 and "next call 2 x 30" in out
    print(f"interrupt: {'passed' if ok else 'FAILED'} ({out.strip()!r})")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
