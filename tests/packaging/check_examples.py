#!/usr/bin/env python3
"""Runs the EXAMPLES of installed manual pages against the installed programs.

    check_examples.py PREFIX WORK_DIR PAGE...

Each page's examples run in a directory of their own, block after block as a
reader would type them, with the installed programs first on PATH and
/usr/share/orv read as PREFIX/share/orv. A command for a real adapter (orvtool
without --sim) runs under the installed orvsim-run, whose virtual adapter is a
USB device like any other. Lines of a block written as a session ("$ ...")
are typed into the shell its first line starts. The user's own programs
(./my-flasher, python3 test.py) become `true`, so that the options around
them are still checked, and a whole-flash dump a smaller one; GUI programs
and the bridges' clients are not run, nor other projects' tools the machine
lacks, but the files given to a viewer must exist. Every command must exit 0,
or with the status EXPECTED_STATUS gives it.
"""
import gzip
import os
import re
import shlex
import shutil
import subprocess
import sys

# Examples that show a failure on purpose.
EXPECTED_STATUS = {
    "--sim-fault stall:0x81:0:1 spi id": 1,  # the first read-back stalls
    "--board bscan-faults jtag connect-test": 1,  # the board has faults to find
    "--board three-taps jtag svf": 1,  # another chain: a TDO check fails
}
# Stand-ins for the user's own programs, and a smaller dump than the whole
# flash (4 MiB take about a minute through the virtual USB device; the
# commands after it then work on the smaller file the same way).
STAND_INS = [("./my-flasher", "true"), ("./my-test", "true"), ("python3 test.py", "true"),
             ("spi read 0 4M -o", "spi read 0 64k -o")]
# Not run: a GUI, and the bridge server with its clients (tests/bridges runs
# those against the real clients).
NOT_RUN = ("pulseview", "openocd", "openFPGALoader", "flashrom", "orvtool --sim serve")


def roff_text(line):
    """The text of a roff line inside .nf/.fi, as man shows it."""
    line = line.replace(r"\(dq", '"').replace(r"\-", "-").replace(r"\e", "\\")
    return line.replace("\\\\", "\\")


def example_blocks(page):
    """The .nf/.fi blocks of the EXAMPLES section, as lists of lines."""
    blocks, block, section = [], None, None
    opener = gzip.open if page.endswith(".gz") else open
    with opener(page, "rt", encoding="utf-8") as f:
        for raw in f:
            line = raw.rstrip("\n")
            if line.startswith(".SH"):
                section = line[3:].strip().strip('"')
                continue
            if section != "EXAMPLES":
                continue
            if line == ".nf":
                block = []
            elif line == ".fi":
                blocks.append(block)
                block = None
            elif block is not None and not line.startswith(".") and not line.startswith("'"):
                block.append(roff_text(line))
    return blocks


def logical_lines(lines):
    """Joins shell continuations and quoted strings that span lines."""
    out, pending = [], ""
    for line in lines:
        pending = pending + "\n" + line if pending else line
        if pending.endswith("\\"):
            pending = pending[:-1].rstrip() + " "
            continue
        try:
            shlex.split(pending)
        except ValueError:  # an open quote: the command goes on
            continue
        out.append(pending)
        pending = ""
    if pending:
        out.append(pending)
    return out


def expected_status(command):
    for text, status in EXPECTED_STATUS.items():
        if text in command:
            return status
    return 0


def for_real_adapter(command):
    words = shlex.split(command)
    return words[0] == "orvtool" and "--sim" not in words and "--dry-run" not in words


def shell_script(block, prefix, path):
    """The shell commands for one block, each checked."""
    lines = []
    for line in block:
        line = line.replace("/usr/share/orv", prefix + "/share/orv")
        for text, stand_in in STAND_INS:
            line = line.replace(text, stand_in)
        lines.append(line)
    script = []

    def check(command, shown, stdin=None):
        status = expected_status(command)
        script.append("echo " + shlex.quote("$ " + shown))
        run = command if stdin is None else command + " <<'EOF'\n" + stdin + "\nEOF"
        script.append(run)
        script.append(
            's=$?; if [ $s -ne %d ]; then echo "FAIL: exit status $s, expected %d: "%s; failed=1; fi'
            % (status, status, shlex.quote(shown)))

    if lines and lines[0].startswith("$ "):
        # A session: the first line starts a shell that reads the others.
        session = [l[2:] for l in lines]
        check(session[0], " / ".join(session), stdin="\n".join(session[1:]))
        return script
    for command in logical_lines(lines):
        words = shlex.split(command)
        if words[0] == "export":
            script.append(command)
        elif command.startswith(NOT_RUN):
            if "-i" in words:  # a file given to a viewer
                name = words[words.index("-i") + 1]
                script.append("echo " + shlex.quote("(not run) " + command))
                script.append('[ -f %s ] || { echo "FAIL: %s: no such file"; failed=1; }'
                              % (shlex.quote(name), name))
            else:
                script.append("echo " + shlex.quote("(not run) " + command.splitlines()[0]))
        elif words[0] not in ("orvtool", "orvsim-run") and not shutil.which(words[0], path=path):
            # Another project's tool (sigrok-cli) that this machine lacks.
            script.append("echo " + shlex.quote("(not run, %s is not installed) %s" % (words[0], command)))
        elif for_real_adapter(command):
            check("orvsim-run -- sh -c " + shlex.quote(command), command)
        else:
            check(command, command)
    return script


def main():
    prefix, work, pages = sys.argv[1], sys.argv[2], sys.argv[3:]
    env = {
        "PATH": prefix + "/bin:/usr/bin:/bin",
        "HOME": work,
        "SHELL": "/bin/sh",
        "LANG": "C.UTF-8",
    }
    if "LD_LIBRARY_PATH" in os.environ:  # an install without RUNPATH
        env["LD_LIBRARY_PATH"] = os.environ["LD_LIBRARY_PATH"]
    failed = False
    for page in pages:
        name = os.path.basename(page)
        directory = os.path.join(work, name)
        shutil.rmtree(directory, ignore_errors=True)
        os.makedirs(directory)
        blocks = example_blocks(page)
        if not blocks:
            print("FAIL: %s: no EXAMPLES" % page)
            failed = True
            continue
        print("-- %s: %d blocks, in %s" % (name, len(blocks), directory))
        script = ["failed=0"]
        for block in blocks:
            script += shell_script(block, prefix, env["PATH"])
        script.append("exit $failed")
        run = subprocess.run(["/bin/sh", "-c", "\n".join(script)], cwd=directory, env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                             timeout=600, check=False)
        print(re.sub(r"^", "   ", run.stdout.rstrip(), flags=re.M))
        if run.returncode != 0:
            print("FAIL: %s: an example did not do what it says" % name)
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
