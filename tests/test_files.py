import os
import pathlib
import subprocess
import sys

import pytest

import quorbelin as qb

# The shared tree files sit beside the repository.
DATA = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data"
SET_CLASSES = [qb.TreeSet, qb.TopologySet]


@pytest.fixture(params=SET_CLASSES, ids=lambda c: c.__name__)
def cls(request):
    return request.param


def write(tmp_path, content, name="trees.tre"):
    path = tmp_path / name
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    return str(path)


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def test_reads_the_whole_file(cls, tmp_path):
    text = "(A:1,B:2);\n((A,C),B);\n" + "(\u00e9,B);\n" * 5000
    ts = cls.from_file(write(tmp_path, text))
    assert type(ts) is cls
    assert ts.ngenes == 5002 and ts.ntaxa == 4
    assert ts.to_newick_vec() == cls(text).to_newick_vec()
    assert ts.__getstate__() == cls(text).__getstate__()


def test_keyword_and_str_subclass(cls, tmp_path):
    class Text(str):
        pass

    path = write(tmp_path, "(A,B);")
    assert cls.from_file(path=Text(path)).newick() == "(A:0,B:0);"


def test_relative_path(cls, tmp_path, monkeypatch):
    write(tmp_path, "(A,B);", "rel.tre")
    monkeypatch.chdir(tmp_path)
    assert cls.from_file("rel.tre").ngenes == 1


@pytest.mark.parametrize(
    "make_path, message",
    [
        (lambda tmp: str(tmp / "missing.tre"), "Failed to read file: No such file or directory (os error 2)"),
        (lambda tmp: "", "Failed to read file: No such file or directory (os error 2)"),
        (lambda tmp: str(tmp), "Failed to read file: Is a directory (os error 21)"),
        (lambda tmp: write(tmp, "x") + "/x", "Failed to read file: Not a directory (os error 20)"),
        (lambda tmp: "a\0b", "Failed to read file: file name contained an unexpected NUL byte"),
        (lambda tmp: write(tmp, b"(A,\xff);"), "Failed to read file: stream did not contain valid UTF-8"),
        (lambda tmp: write(tmp, b""), "No valid trees found in input string"),
    ],
)
def test_failures(cls, tmp_path, make_path, message):
    path = make_path(tmp_path)
    before = open_descriptors()
    with pytest.raises(ValueError) as info:
        cls.from_file(path)
    assert str(info.value) == message
    assert open_descriptors() == before


def test_files_are_closed(cls, tmp_path):
    path = write(tmp_path, "(A,B);")
    before = open_descriptors()
    for _ in range(200):
        cls.from_file(path)
    assert open_descriptors() == before


def test_byte_order_mark_is_content(cls, tmp_path):
    # U+FEFF is not white space: it starts a label (which "(" does not end).
    path = write(tmp_path, "\ufeff(A,B);")
    assert cls.from_file(path).taxon_set.names() == ["\ufeff(A", "B"]


def test_class_method_called_through_an_object(tmp_path):
    path = write(tmp_path, "(A,B);")
    assert type(qb.TopologySet("(X,Y);").from_file(path)) is qb.TopologySet


@pytest.mark.skipif(not DATA.is_dir(), reason="shared data not present")
@pytest.mark.parametrize(
    "name, trees, taxa",
    [
        ("mammals37_genetrees.tre", 424, 37),
        ("bees32_genetrees.tre", 853, 32),
        ("mammals37_astral_testdata_genetrees.tre", 424, 37),
        ("wol10575_species_astral.nwk", 1, 10575),
    ],
)
def test_real_files(name, trees, taxa):
    path = str(DATA / name)
    ts = qb.TreeSet.from_file(path)
    assert (ts.ngenes, ts.ntaxa) == (trees, taxa)
    again = qb.TreeSet(ts.to_newick_string())
    assert again.to_newick_string() == ts.to_newick_string()
    with open(path, encoding="utf-8") as f:
        assert qb.TreeSet(f.read()).__getstate__() == ts.__getstate__()


def test_pipe_is_read_to_its_end(cls, tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    # Another process writes: the read holds the interpreter lock.
    code = f"""if True:
        import time
        with open({str(fifo)!r}, "w") as f:
            for k in range(2000):
                f.write(f"(A{{k}},B);\\n")
                if k % 500 == 0:
                    f.flush()
                    time.sleep(0.05)
    """
    writer = subprocess.Popen([sys.executable, "-c", code])
    trees = cls.from_file(str(fifo))
    assert writer.wait(timeout=60) == 0
    assert len(trees) == 2000


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
            print(e)
    """
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "stopped\n"


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
def test_pipe_written_in_bursts_is_read_to_its_end(tmp_path):
    os.mkfifo(tmp_path / "pipe")
    code = f"""import time
with open({str(tmp_path / "pipe")!r}, "w") as f:
    for k in range(4):
        f.write("(A,B);" * 500); f.flush(); time.sleep(0.05)"""
    writer = subprocess.Popen([sys.executable, "-c", code])
    assert len(qb.TreeSet.from_file(str(tmp_path / "pipe"))) == 2000 and writer.wait(timeout=60) == 0
