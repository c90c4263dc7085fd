import os
import subprocess
import sys

import pytest

import quorbelin as qb


@pytest.mark.parametrize("cls", [qb.TreeSet, qb.TopologySet])
def test_from_file_reads_the_whole_file_and_closes_it(cls, tmp_path):
    class Text(str):
        pass

    text = "(A:1,B:2);\n((A,C),B);\n" + "(\u00e9,B);\n" * 5000
    (tmp_path / "trees.tre").write_text(text, encoding="utf-8")
    (tmp_path / "empty.tre").write_text("")
    fds = len(os.listdir("/proc/self/fd"))
    # Called on an object, a class method still makes its own class.
    ts = cls("(X,Y);").from_file(path=Text(tmp_path / "trees.tre"))
    assert type(ts) is cls and ts.__getstate__() == cls(text).__getstate__()
    for path, message in [(tmp_path / "missing.tre", "Failed to read file: No such file or directory (os error 2)"),
                          (tmp_path / "empty.tre", "No valid trees found in input string")]:
        with pytest.raises(ValueError) as info:
            cls.from_file(str(path))
        assert str(info.value) == message
    assert len(os.listdir("/proc/self/fd")) == fds


# A pipe whose writer pauses between bursts is read to its end: a short read is not the end.
def test_pipe_is_read_to_its_end(tmp_path):
    os.mkfifo(tmp_path / "pipe")
    code = f"""import time
with open({str(tmp_path / "pipe")!r}, "w") as f:
    for k in range(4):
        f.write("(A,B);" * 500); f.flush(); time.sleep(0.05)"""
    writer = subprocess.Popen([sys.executable, "-c", code])
    assert len(qb.TreeSet.from_file(str(tmp_path / "pipe"))) == 2000 and writer.wait(timeout=60) == 0


# The writer keeps the pipe open and never writes: a signal handler that raises
# ends the read with its exception (the read used to retry forever).
def test_signal_interrupts_a_waiting_pipe_read(tmp_path):
    code = f"""if True:
        import os, signal, quorbelin
        fifo = {str(tmp_path / "pipe")!r}
        os.mkfifo(fifo)
        held = os.open(fifo, os.O_RDWR)
        def stop(*_):
            raise TimeoutError("stopped")
        signal.signal(signal.SIGALRM, stop)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        try:
            quorbelin.TreeSet.from_file(fifo)
        except TimeoutError as e:
            print(e)"""
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout) == (0, "stopped\n"), run.stderr
