#!/usr/bin/env python3
"""End-to-end runs of the terminal wizard against handset-sim.

vestrel runs in a tmux pane of 80x25 (a real pseudo-terminal and a terminal emulator whose
screen can be read back); the test presses keys as a user would, reads the screen and ends
with handset-sim's verdict. The unattended cases run vestrel without a terminal.

Usage: terminal_e2e.py CASE --vestrel PATH --sim PATH --make-images PATH
"""

import argparse
import fcntl
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ARGS = None


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Sim:
    """handset-sim on a pty, published as a link in the work directory."""

    def __init__(self, work, images, *options):
        self.link = os.path.join(work, "wceusbsh001")
        self.out_path = os.path.join(work, "sim.out")
        self.summary = os.path.join(work, "summary.txt")
        self.out = open(self.out_path, "w")
        self.proc = subprocess.Popen(
            [ARGS.sim, "--link", self.link, "--images", images, "--summary", self.summary,
             "--return-ms", "500", *options],
            stdout=self.out, stderr=subprocess.STDOUT)
        wait_for(lambda: "ready " in self.output(), 20, "handset-sim to be ready")

    def output(self):
        with open(self.out_path) as f:
            return f.read()

    def finish(self, timeout=20):
        """The exit status: 0 flashed byte for byte, 1 not; a handset left waiting is ended."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.send_signal(signal.SIGTERM)
            return self.proc.wait(20)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.out.close()


class Pane:
    """vestrel in a tmux pane of its own server."""

    count = 0

    def __init__(self, work, cwd, device, columns=80, lines=25, extra=""):
        Pane.count += 1
        self.socket = "vestrel-e2e-%d-%d" % (os.getpid(), Pane.count)
        self.tmux = ["tmux", "-L", self.socket, "-f", "/dev/null"]
        command = ("LANG=C.UTF-8 %s --device %s %s; echo VESTREL-EXIT=$?; sleep 600"
                   % (ARGS.vestrel, device, extra))
        subprocess.run(self.tmux + ["new-session", "-d", "-x", str(columns), "-y", str(lines),
                                    "-c", cwd, command], check=True)
        self.started = time.monotonic()

    def screen(self):
        return subprocess.run(self.tmux + ["capture-pane", "-p"], check=True,
                              capture_output=True, text=True).stdout

    def lines(self):
        return self.screen().split("\n")

    def keys(self, *keys):
        subprocess.run(self.tmux + ["send-keys", *keys], check=True)
        time.sleep(0.15)

    def resize(self, columns, lines):
        subprocess.run(self.tmux + ["resize-window", "-x", str(columns), "-y", str(lines)], check=True)

    def wizard_pid(self):
        shell = subprocess.run(self.tmux + ["display", "-p", "#{pane_pid}"], check=True,
                               capture_output=True, text=True).stdout.strip()
        out = subprocess.run(["pgrep", "-P", shell, "-f", ARGS.vestrel], capture_output=True, text=True)
        pids = out.stdout.split()
        return int(pids[0]) if pids else None

    def wait_text(self, text, timeout, what=None):
        wait_for(lambda: text in self.screen(), timeout, what or repr(text), self.screen)

    def exit_status(self, timeout=20):
        wait_for(lambda: "VESTREL-EXIT=" in self.screen(), timeout, "vestrel to end", self.screen)
        return int(re.search(r"VESTREL-EXIT=(\d+)", self.screen()).group(1))

    def close(self):
        subprocess.run(self.tmux + ["kill-server"], capture_output=True)


def wait_for(condition, timeout, what, show=None):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if condition():
            return
        time.sleep(0.1)
    raise Failure("timed out waiting for %s%s" % (what, "\n" + show() if show else ""))


def button_row(pane):
    return pane.lines()[-2] if pane.lines()[-1] == "" else pane.lines()[-1]


def buttons(pane):
    """Pressable buttons are drawn in brackets, disabled ones without."""
    row = [line for line in pane.lines() if "Cancel" in line and ("Back" in line)]
    check(row, "no button row on the screen:\n" + pane.screen())
    found = re.findall(r"\[ (< Back|Next >|Finish|Cancel) \]", row[-1])
    return set(found), row[-1]


def close_boxes(pane, timeout):
    """Closes message boxes with Enter as they come; returns the screens of the boxes seen."""
    seen = []
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        screen = pane.screen()
        if "[  OK  ]" in screen:
            seen.append(screen)
            pane.keys("Enter")
            time.sleep(0.3)
            continue
        time.sleep(0.2)
    return seen


def welcome_to_download(pane):
    pane.wait_text("I agree with the statement above", 15)
    screen = pane.screen()
    check(screen.split("\n")[0].strip() == "Korvane", "title line:\n" + screen)
    # The whole notice and caution are readable in 80x25, down to their last words.
    for text in ["This program will upgrade the software", "3. Click \"Next\"",
                 "Caution:", "current configuration", "[ ] I agree"]:
        check(text in screen, "%r not on the welcome page:\n%s" % (text, screen))
    pressable, row = buttons(pane)
    check(pressable == {"Cancel"}, "Next must wait for the box: " + row)
    pane.keys("Space")
    pane.wait_text("[x] I agree", 5)
    wait_for(lambda: "Next >" in buttons(pane)[0], 5, "Next to be enabled", pane.screen)
    pane.keys("Space")
    wait_for(lambda: "Next >" not in buttons(pane)[0], 5, "Next to be disabled again", pane.screen)
    pane.keys("Space")
    wait_for(lambda: "Next >" in buttons(pane)[0], 5, "Next to be enabled", pane.screen)
    pane.keys("M-n")
    wait_for(lambda: pane.lines()[0].strip() == "Download Image", 15, "the download page", pane.screen)
    pressable, row = buttons(pane)
    check(pressable == {"Cancel"}, "during a run only Cancel: " + row)
    check("Please wait..." in pane.screen() and "DO NOT REMOVE THE USB CABLE." in pane.screen(),
          "download page notice:\n" + pane.screen())


def case_full_run(work, images):
    sim = Sim(work, images)
    pane = Pane(work, images, sim.link)
    try:
        welcome_to_download(pane)
        # A resize redraws at the new size: title on top, buttons on the last line.
        pane.resize(100, 30)
        wait_for(lambda: len(pane.lines()) >= 30 and "Cancel" in pane.lines()[29], 5,
                 "the redraw at 100x30", pane.screen)
        pane.resize(80, 25)
        wait_for(lambda: "Cancel" in pane.lines()[24], 5, "the redraw at 80x25", pane.screen)
        pane.wait_text("Upgrade completed, download successful, please reboot your", 120)
        screen = pane.screen()
        check("[i]" in screen and "Vestrel" in screen and "[  OK  ]" in screen, "success box:\n" + screen)
        pane.keys("Enter")
        wait_for(lambda: "Finish" in buttons(pane)[0], 10, "Finish", pane.screen)
        pressable, row = buttons(pane)
        check(pressable == {"Finish"}, "at the end only Finish: " + row)
        check("100%" in pane.screen(), "percent label at the end:\n" + pane.screen())
        pane.keys("c")  # Cancel is disabled: nothing happens
        time.sleep(0.5)
        check("VESTREL-EXIT" not in pane.screen(), "a disabled Cancel closed the wizard")
        pane.keys("f")
        check(pane.exit_status() == 0, "exit status after Finish")
        check(sim.finish() == 0, "verdict:\n" + sim.output())
    finally:
        pane.close()
        sim.close()


def case_partition_refused(work, images):
    sim = Sim(work, images, "--scenario", "partition-status", "--status", "2")
    pane = Pane(work, images, sim.link)
    try:
        welcome_to_download(pane)
        pane.wait_text("[  OK  ]", 60, "the failure message")
        check("[X]" in pane.screen(), "error marker:\n" + pane.screen())
        close_boxes(pane, 4)
        # The failed run: both bars and the label back at zero, only Cancel left.
        wait_for(lambda: buttons(pane)[0] == {"Cancel"} and re.search(r"^\s+0%\s*$", pane.screen(), re.M),
                 10, "the reset after the failure", pane.screen)
        check("Next >" in buttons(pane)[1] and "Finish" not in buttons(pane)[1], buttons(pane)[1])
        check("\u2588" not in pane.screen(), "bars must be empty:\n" + pane.screen())
        pane.keys("Escape")
        check(pane.exit_status() == 1, "exit status after Cancel")
        check(sim.finish() == 1, "the handset must not count as flashed:\n" + sim.output())
        with open(sim.summary) as f:
            summary = f.read()
        check("oemsbl" in summary and "missing" in summary, "no boot image may arrive:\n" + summary)
    finally:
        pane.close()
        sim.close()


def case_cancel_mid_run(work, images):
    # The handset stops answering at the partition table: the wizard waits without end.
    sim = Sim(work, images, "--scenario", "silent", "--at", "partition")
    pane = Pane(work, images, sim.link)
    try:
        welcome_to_download(pane)
        pane.wait_text("10%", 60, "the programmer upload")
        time.sleep(7)  # the pause and the handshake; then the partition table waits
        check("VESTREL-EXIT" not in pane.screen(), "ended by itself:\n" + pane.screen())
        started = time.monotonic()
        pane.keys("c")
        status = pane.exit_status(30)
        took = time.monotonic() - started
        check(status == 1, "exit status after Cancel")
        # Cancel gives the worker 2000 ms, then stops it.
        check(1.8 <= took <= 10, "Cancel took %.1f s" % took)
        # The terminal is back: the wizard's screen is gone, the shell's line is there.
        check("Download Image" not in pane.screen(), "screen not restored:\n" + pane.screen())
        sim.finish(5)
    finally:
        pane.close()
        sim.close()


def case_signals(work, images):
    sim = Sim(work, images, "--scenario", "silent", "--at", "partition")
    try:
        # Ctrl+C on the welcome page cancels at once.
        pane = Pane(work, images, sim.link)
        try:
            pane.wait_text("I agree with the statement above", 15)
            pane.keys("C-c")
            check(pane.exit_status(10) == 1, "exit status after Ctrl+C")
            check("Korvane" not in pane.screen(), "screen not restored:\n" + pane.screen())
        finally:
            pane.close()
        # SIGTERM in the middle of a run: the same way out, the worker stopped, the terminal back.
        pane = Pane(work, images, sim.link)
        try:
            welcome_to_download(pane)
            pane.wait_text("10%", 60, "the programmer upload")
            pid = pane.wizard_pid()
            check(pid is not None, "no vestrel process")
            os.kill(pid, signal.SIGTERM)
            check(pane.exit_status(30) == 1, "exit status after SIGTERM")
            check("Download Image" not in pane.screen(), "screen not restored:\n" + pane.screen())
            # The tty modes are back too: what is typed now is echoed by the terminal.
            pane.keys("-l", "typed-back")
            pane.wait_text("typed-back", 5, "the echo of typed keys")
        finally:
            pane.close()
    finally:
        sim.close()


def case_single_copy(work, images):
    pane = Pane(work, images, os.path.join(work, "no-device"))
    try:
        pane.wait_text("I agree with the statement above", 15)
        started = time.monotonic()
        second = subprocess.run([ARGS.vestrel, "--unattended"], cwd=images, capture_output=True,
                                text=True, stdin=subprocess.DEVNULL, timeout=20)
        check(second.returncode == 0 and second.stdout == "" and second.stderr == "",
              "a second copy must end silently: %r" % (second,))
        check(time.monotonic() - started < 5, "the second copy took too long")
        pane.wait_text("Another copy of the program was started", 5)
        # Once the first copy shows the download page it no longer stops a new one; the
        # welcome page of a copy is what counts. Here: end the first, then a new copy runs.
        pane.keys("Escape")
        check(pane.exit_status() == 1, "exit status after Escape")
        third = subprocess.run([ARGS.vestrel, "--unattended", "--device", os.path.join(work, "none")],
                               cwd=images, capture_output=True, text=True, stdin=subprocess.DEVNULL,
                               timeout=30)
        check("page \"Korvane\"" in third.stdout, "a new copy must run:\n" + third.stdout)
    finally:
        pane.close()


def run_unattended(images, device, timeout=180):
    return subprocess.run([ARGS.vestrel, "--device", device], cwd=images, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=timeout)


def case_unattended(work, images):
    sim = Sim(work, images)
    try:
        run = run_unattended(images, sim.link)
        out = run.stdout
        check(run.returncode == 0, "exit status %d:\n%s%s" % (run.returncode, out, run.stderr))
        for line in ["no terminal, so the wizard runs unattended", "page \"Korvane\"",
                     "caution (red): Caution:", "user: ticks \"I agree with the statement above\"",
                     "user: presses Next >", "page \"Download Image\"", "percent: 10%", "percent: 100%",
                     "message box \"Vestrel\" [i]: Upgrade completed, download successful, please reboot your device.",
                     "buttons (< Back disabled) [Finish] (Cancel disabled)", "user: presses Finish",
                     "wizard closed with Finish"]:
            check(line in out, "%r missing from:\n%s" % (line, out))
        # Percentages come in order.
        shown = [int(p) for p in re.findall(r"percent: (\d+)%", out)]
        check(shown == sorted(shown), "percent label out of order: %s" % shown)
        check(sim.finish() == 0, "verdict:\n" + sim.output())
    finally:
        sim.close()


def case_unattended_busy(work, images):
    sim = Sim(work, images)
    holder = os.open(sim.link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        # Another program holds the device.
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        run = run_unattended(images, sim.link, 60)
        out = run.stdout
        check(run.returncode == 1, "exit status %d:\n%s" % (run.returncode, out))
        check("Can't find Windows CE USB device\n" in out and "Error code: 5" in out, out)
        check("The device is busy" in out, "the plain sentence is missing:\n" + out)
        check("wizard cancelled" in out, out)
    finally:
        os.close(holder)
        sim.close()


CASES = {
    "full-run": case_full_run,
    "partition-refused": case_partition_refused,
    "cancel-mid-run": case_cancel_mid_run,
    "signals": case_signals,
    "single-copy": case_single_copy,
    "unattended": case_unattended,
    "unattended-busy": case_unattended_busy,
}


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("--vestrel", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--make-images", required=True)
    ARGS = parser.parse_args()
    if shutil.which("tmux") is None:
        print("tmux is not installed (scripts/install-deps.sh installs it)")
        return 77
    work = tempfile.mkdtemp(prefix="vestrel-term-")
    try:
        images = os.path.join(work, "images")
        subprocess.run([ARGS.make_images, "--out", images], check=True, capture_output=True)
        CASES[ARGS.case](work, images)
    except Failure as failure:
        print("FAIL: %s" % failure)
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
