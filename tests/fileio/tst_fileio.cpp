// Tests of the rules every program reads and writes by: only regular files read, whole and without
// blocking; outputs written atomically beside the input, never over it and never through a link,
// and a failed write never replacing the old output.
#include "fileio.h"
#include "testdata.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const QByteArray kOld = "the old output, kept whole\n";
const QByteArray kNew = QByteArray("the new output\n").repeated(100);
const QByteArray kInput = "the input, never changed\n";

bool link(const QString &target, const QString &name)
{
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(name).constData()) ==
           0;
}

// Makes what the row names at `path`, in the folder `dir` that also holds "input.tox".
bool prepare(const QString &what, const QString &path, const QDir &dir)
{
    const QString input = dir.filePath(QStringLiteral("input.tox"));
    const QString other = dir.filePath(QStringLiteral("other/target"));
    if (what == "nothing")
        return true;
    if (what == "file") // a report someone made private, and marked executable by mistake
        return writeFile(path, kOld) && ::chmod(QFile::encodeName(path).constData(), 0751) == 0;
    if (what == "directory")
        return dir.mkpath(path);
    if (what == "fifo")
        return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
    if (what == "hard link to the input")
        return ::link(QFile::encodeName(input).constData(), QFile::encodeName(path).constData()) ==
               0;
    if (what == "name not UTF-8, beside a decoy") // the decoy is what Qt would open instead
        return writeFile(dir.filePath(QStringLiteral("a\uFFFD.tox")), kInput) &&
               ::close(::open(QByteArray(QFile::encodeName(dir.path()) + "/a\xff.tox").constData(),
                              O_CREAT | O_WRONLY, 0600)) == 0;
    if (what == "link to a file")
        return writeFile(other, kOld) && link(other, path);
    if (what == "dangling link")
        return link(dir.filePath(QStringLiteral("nowhere")), path);
    if (what == "link to a directory")
        return link(dir.filePath(QStringLiteral("other")), path);
    if (what == "link to the input through sub/..")
        return link(dir.filePath(QStringLiteral("other")), dir.filePath(QStringLiteral("sub"))) &&
               link(QStringLiteral("sub/../input.tox"), path);
    if (what == "chain of 45 links to the input") {
        QString previous = QStringLiteral("input.tox");
        for (int i = 0; i < 45; ++i) {
            const QString name = QStringLiteral("chain%1").arg(i);
            if (!link(previous, dir.filePath(name)))
                return false;
            previous = name;
        }
        return link(previous, path);
    }
    return false;
}

} // namespace

class TestFileIo : public QObject
{
    Q_OBJECT

private slots:
    void read_data();
    void read();
    void write_data();
    void write();
    void faults_data();
    void faults();
    void permissions_data();
    void permissions();
    void outputStaysInTheInputsFolder();
};

void TestFileIo::read_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("path");  // empty: "x" in a fresh folder
    QTest::addColumn<QString>("error"); // %1 = the path
    const auto row = [](const char *name, const char *what, const char *path, const char *error) {
        QTest::newRow(name) << what << path << error;
    };
    const char *cannotOpen = "Could not open '%1'";
    row("regular file", "file", "", "");
    row("link to a file", "link to a file", "", "");
    row("nonexistent", "nothing", "", cannotOpen);
    row("dangling link", "dangling link", "", cannotOpen);
    row("directory", "directory", "", cannotOpen);
    row("fifo without a writer", "fifo", "", cannotOpen);
    row("character device", "nothing", "/dev/zero", cannotOpen);
    // Kernel files that claim a size of 0 are read as empty, not read until they end.
    row("proc file of size 0", "nothing", "/proc/self/status", "");
    // A file that yields fewer bytes than its size is never shown in part.
    row("sys file yielding less than its size", "nothing", "/sys/devices/system/cpu/online",
        "Could not read '%1': it changed while it was read");
    row("name not UTF-8", "name not UTF-8, beside a decoy", "a\uFFFD.tox",
        "Could not open '%1': its name is not valid UTF-8");
    row("one byte over the limit", "sparse", "",
        "Could not open '%1': file too large (2147479552 bytes)");
}

void TestFileIo::read()
{
    QFETCH(QString, what);
    QFETCH(QString, path);
    QFETCH(QString, error);
    QTemporaryDir temporary;
    const QDir dir(temporary.path());
    QVERIFY(dir.mkpath(QStringLiteral("other")));
    path = dir.filePath(path.isEmpty() ? QStringLiteral("x") : path);
    if (what == "sparse") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(maxInputSize + 1));
    } else {
        QVERIFY(prepare(what, path, dir));
    }
    const InputFile input = readInputFile(path);
    QCOMPARE(input.error, error.isEmpty() ? QString() : error.arg(path));
    QCOMPARE(input.identity.valid, error.isEmpty());
    QCOMPARE(input.data, error.isEmpty() && what != "nothing" ? kOld : QByteArray());
    ::unlink(QByteArray(QFile::encodeName(dir.path()) + "/a\xff.tox").constData());
}

void TestFileIo::write_data()
{
    QTest::addColumn<QString>("what");   // at the output name, beside "input.tox"
    QTest::addColumn<QString>("during"); // put there while the output is being written
    QTest::addColumn<int>("status");
    const auto row = [](const char *what, const char *during, WriteStatus status) {
        QTest::addRow("%s%s%s", what, *during ? ", then during the write: " : "", during)
            << what << during << int(status);
    };
    row("nothing", "", WriteStatus::Saved);
    row("file", "", WriteStatus::Saved);
    row("link to a file", "", WriteStatus::IsSymlink);
    row("dangling link", "", WriteStatus::IsSymlink);
    row("link to a directory", "", WriteStatus::IsSymlink);
    row("link to the input through sub/..", "", WriteStatus::IsInput);
    row("chain of 45 links to the input", "", WriteStatus::IsSymlink);
    row("hard link to the input", "", WriteStatus::IsInput);
    // A file system that numbers names, not files: the same size and times mark the input.
    row("hard link to the input", "numbered apart", WriteStatus::IsInput);
    // Another file system's file with the same inode number is another file.
    row("hard link to the input", "on another device", WriteStatus::Saved);
    // The output's name is the input's ignoring case: the input, whatever its numbers and times.
    row("nothing", "input named in another case", WriteStatus::IsInput);
    row("directory", "", WriteStatus::Failed);
    row("fifo", "", WriteStatus::Failed);
    row("nothing", "dangling link", WriteStatus::IsSymlink);
    row("nothing", "hard link to the input", WriteStatus::IsInput);
    row("nothing", "file", WriteStatus::Saved);
    row("file", "link to a file", WriteStatus::IsSymlink);
}

void TestFileIo::write()
{
    QFETCH(QString, what);
    QFETCH(QString, during);
    QFETCH(int, status);
    QTemporaryDir temporary;
    const QDir dir(temporary.path());
    QVERIFY(dir.mkpath(QStringLiteral("other")));
    const QString input = dir.filePath(QStringLiteral("input.tox"));
    const QString output = dir.filePath(QStringLiteral("input.txt"));
    QVERIFY(writeFile(input, kInput));
    QVERIFY(prepare(what, output, dir)); // first: a new link changes the input's times
    FileIdentity identity = readInputFile(input).identity;
    if (during == "numbered apart")
        ++identity.inode;
    if (during == "on another device")
        ++identity.device;
    if (during == "input named in another case")
        identity.name = "INPUT.Txt";
    if (during == "numbered apart" || during.startsWith("on another") || during.startsWith("input"))
        during.clear(); // not put at the output name: only the input's identity differs
    QStringList entries = dir.entryList(QDir::AllEntries | QDir::System | QDir::Hidden);

    const WriteStatus written = writeOutputFile(output, identity, [&](const ByteSink &sink) {
        if (!during.isEmpty()) {
            QFile::remove(output); // a link or an empty name before the new one is put there
            if (!prepare(during, output, dir))
                return false;
        }
        return sink(kNew.constData(), kNew.size());
    });
    QCOMPARE(int(written), status);
    QCOMPARE(readFile(input), kInput);
    QCOMPARE(readFile(dir.filePath(QStringLiteral("other/target"))),
             what.contains("link to a file") || during.contains("link to a file") ? kOld
                                                                                  : QByteArray());
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("nowhere"))));
    if (written == WriteStatus::Saved) {
        QCOMPARE(readFile(output), kNew);
        struct stat st = {};
        QVERIFY(::lstat(QFile::encodeName(output).constData(), &st) == 0 && S_ISREG(st.st_mode));
        entries << QStringLiteral("input.txt");
    }
    // No temporary file is left behind, and nothing else appeared.
    entries.removeDuplicates();
    entries.sort();
    QStringList after = dir.entryList(QDir::AllEntries | QDir::System | QDir::Hidden);
    after.sort();
    if (during.isEmpty())
        QCOMPARE(after, entries);
    else
        QVERIFY(dir.entryList({QStringLiteral(".*.tmp")}, QDir::Files | QDir::Hidden).isEmpty());
}

// Faults put into the system calls of a child (this program run with --child, through the
// fileshim library) that reads "input.tox" and writes 4 MiB to "input.txt": an output is complete
// or not there, private while it is written, the old one kept when anything fails, and no
// temporary file is left, even when a signal ends the process.
void TestFileIo::faults_data()
{
    QTest::addColumn<QString>("faults");  // FILESHIM_FAULTS
    QTest::addColumn<bool>("before");     // an old output is there
    QTest::addColumn<int>("signal");      // raised at the first write
    QTest::addColumn<QString>("printed"); // by the child; %1 = the input's path
    QTest::addColumn<QString>("after");   // at the output name: old, new, nothing, link
    const auto row = [](const char *name, const char *faults, bool before, int signal,
                        const char *printed, const char *after) {
        QTest::newRow(name) << faults << before << signal << printed << after;
    };
    const char *saved = "600\n0 0\n";
    const char *io = "600\n3 5\n"; // Failed, EIO
    row("unnamed file", "", true, 0, saved, "new");
    row("named file", "no-tmpfile", true, 0, saved, "new");
    row("fsync fails", "fail-fsync", true, 0, io, "old");
    row("fsync fails, named file", "no-tmpfile fail-fsync", true, 0, io, "old");
    row("close fails", "fail-close", true, 0, io, "old");
    row("close fails, named file", "no-tmpfile fail-close", true, 0, io, "old");
    row("close fails after the name is given", "fail-close", false, 0, io, "nothing");
    // A write past the file size limit fails as on a full disk, also for root.
    row("file size limit", "file-size-limit", true, 0, "600\n3 27\n", "old"); // EFBIG
    // The name appears between the last look and the rename: the rename must not replace it.
    row("link made at the name before the rename", "no-tmpfile link", false, 0, "600\n2 0\n",
        "link");
    row("SIGKILL, unnamed file", "signal", true, SIGKILL, "600\n", "old");
    row("SIGTERM, named file", "no-tmpfile signal", true, SIGTERM, "600\n", "old");
    row("SIGINT, named file", "no-tmpfile signal", false, SIGINT, "600\n", "nothing");
    row("SIGHUP, named file", "no-tmpfile signal", true, SIGHUP, "600\n", "old");
    // The new name is synced to the disk with its folder.
    row("unnamed file, traced", "trace", false, 0, "600\nfolder synced\n0 0\n", "new");
    row("named file, traced", "no-tmpfile trace", true, 0, "600\nfolder synced\n0 0\n", "new");
    // A FIFO swapped in between the look at the name and the open neither blocks nor is read.
    row("FIFO swapped in before the open", "fifo", false, 0, "Could not open '%1'\n", "nothing");
    // A file written while it is read (its times change, not its size) is never taken.
    row("input changed while it is read", "change-on-read", false, 0,
        "Could not read '%1': it changed while it was read\n", "nothing");
}

void TestFileIo::faults()
{
    QFETCH(QString, faults);
    QFETCH(bool, before);
    QFETCH(int, signal);
    QFETCH(QString, printed);
    QFETCH(QString, after);
    QTemporaryDir temporary;
    const QDir dir(temporary.path());
    const QString input = dir.filePath(QStringLiteral("input.tox"));
    const QString output = dir.filePath(QStringLiteral("input.txt"));
    const QString other = dir.filePath(QStringLiteral("other"));
    QVERIFY(writeFile(input, kInput) && writeFile(other, kInput));
    QVERIFY(!before || writeFile(output, kOld));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LD_PRELOAD", FILESHIM);
    environment.insert("FILESHIM_FAULTS", faults);
    environment.insert("FILESHIM_SIGNAL", QString::number(signal));
    environment.insert("FILESHIM_FIFO", faults.contains("fifo") ? "input.tox" : "");
    environment.insert("FILESHIM_LINK", faults.contains("link") ? other : "");
    QProcess child;
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), {"--child", input, output});
    const bool ended = child.waitForFinished(10000);
    child.kill(); // blocked, if it did not end
    QVERIFY(ended);
    QCOMPARE(QString::fromLocal8Bit(child.readAllStandardOutput()), printed.replace("%1", input));
    QCOMPARE(child.exitStatus() == QProcess::CrashExit, signal != 0);
    // What stands at the output name, and nothing else beside the input and the other file.
    QCOMPARE(readFile(output), after == "old"    ? kOld
                               : after == "new"  ? QByteArray(4 << 20, 'x')
                               : after == "link" ? kInput
                                                 : QByteArray());
    QCOMPARE(
        dir.entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot).size(),
        after == "nothing" ? 2 : 3);
}

// The permissions of an output, in the form of getfacl: a new one gets what a file created by the
// process gets, a replaced one keeps those of the old one, never with execute permissions.
void TestFileIo::permissions_data()
{
    QTest::addColumn<int>("mask");          // the process's umask
    QTest::addColumn<QString>("folderAcl"); // setfacl -d -m of the folder, if any
    QTest::addColumn<QString>("old");       // setfacl --set of the old output, if any
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *name, int mask, const char *folderAcl, const char *old,
                        const char *expected) {
        QTest::newRow(name) << mask << folderAcl << old << expected;
    };
    row("new output, umask 022", 022, "", "", "user::rw-\ngroup::r--\nother::r--");
    row("new output, umask 077", 077, "", "", "user::rw-\ngroup::---\nother::---");
    row("new output, umask 002", 002, "", "", "user::rw-\ngroup::rw-\nother::r--");
    row("replacing a 0751 file", 0, "", "u::rwx,g::rx,o::x", "user::rw-\ngroup::r--\nother::---");
    row("replacing a file with a named user", 0, "", "u::rw,u:nobody:r,g::-,o::-",
        "user::rw-\nuser:nobody:r--\ngroup::---\nmask::r--\nother::---");
    row("replacing a file with an executable ACL", 0, "", "u::rwx,u:nobody:rx,g::rx,o::-",
        "user::rw-\nuser:nobody:r--\ngroup::r--\nmask::r--\nother::---");
    row("new output in a folder with a default ACL", 077, "u:nobody:rwx,g::r,o::-", "",
        "user::rw-\nuser:nobody:rw-\ngroup::r--\nmask::rw-\nother::---");
    row("replacing a file without an ACL in a folder with a default ACL", 0,
        "u:nobody:rwx,g::r,o::-", "u::rw,g::r,o::-", "user::rw-\ngroup::r--\nother::---");
}

void TestFileIo::permissions()
{
    QFETCH(int, mask);
    QFETCH(QString, folderAcl);
    QFETCH(QString, old);
    QFETCH(QString, expected);
    QTemporaryDir temporary;
    const QString output = temporary.filePath(QStringLiteral("x.txt"));
    const auto run = [](const QString &program, const QStringList &arguments) {
        QProcess process;
        process.start(program, arguments);
        return process.waitForFinished(10000) && process.exitCode() == 0
                   ? QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed()
                   : QStringLiteral("failed");
    };
    if (run("setfacl", {"-m", "u:nobody:r", temporary.path()}) == "failed")
        QSKIP("this file system has no ACLs");
    QVERIFY(folderAcl.isEmpty() || run("setfacl", {"-d", "-m", folderAcl, temporary.path()}) == "");
    QVERIFY(old.isEmpty() ||
            (writeFile(output, kOld) && run("setfacl", {"--set", old, output}) == ""));
    const mode_t saved = ::umask(mode_t(mask));
    const WriteResult result = writeOutputFile(output, FileIdentity(), kNew);
    ::umask(saved);
    QCOMPARE(int(result.status), int(WriteStatus::Saved));
    QCOMPARE(run("getfacl", {"-c", "-E", output}), expected);
}

// The output goes into the folder the input was read from: a `..` after a linked folder is the
// file system's parent, and a folder link repointed between reading and writing stops the write.
void TestFileIo::outputStaysInTheInputsFolder()
{
    QTemporaryDir temporary;
    const QDir dir(temporary.path());
    QVERIFY(dir.mkpath(QStringLiteral("real/sub")) && dir.mkpath(QStringLiteral("victim")));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("real/input.tox")), kInput));
    QVERIFY(link(dir.filePath(QStringLiteral("real/sub")), dir.filePath(QStringLiteral("lnk"))));
    const QString input = dir.filePath(QStringLiteral("lnk/../input.tox"));
    const InputFile read = readInputFile(input);
    QCOMPARE(read.data, kInput);
    const QString output = ::outputPathFor(input, QStringLiteral(".txt"));
    QCOMPARE(output, dir.filePath(QStringLiteral("lnk/../input.txt")));
    QCOMPARE(int(writeOutputFile(output, read.identity, kNew).status), int(WriteStatus::Saved));
    QCOMPARE(readFile(dir.filePath(QStringLiteral("real/input.txt"))), kNew);
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("input.txt"))));

    QVERIFY(link(dir.filePath(QStringLiteral("real")), dir.filePath(QStringLiteral("case"))));
    const InputFile again = readInputFile(dir.filePath(QStringLiteral("case/input.tox")));
    QVERIFY(QFile::remove(dir.filePath(QStringLiteral("case"))));
    QVERIFY(link(dir.filePath(QStringLiteral("victim")), dir.filePath(QStringLiteral("case"))));
    QCOMPARE(
        int(writeOutputFile(dir.filePath(QStringLiteral("case/input.txt")), again.identity, kNew)
                .status),
        int(WriteStatus::Failed));
    QVERIFY(QDir(dir.filePath(QStringLiteral("victim"))).isEmpty());
}

namespace
{

// The child of the fault tests: reads `input`, then writes 4 MiB to `output`. It prints the read
// error, or the mode of the file being written (found among its descriptors, named or not) when
// the first byte is written, then the status and errno of the write.
int child(const QString &input, const QString &output)
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) // as started from a terminal
        std::signal(signal, SIG_DFL);
    const InputFile read = readInputFile(input);
    if (!read.error.isEmpty()) {
        std::printf("%s\n", qPrintable(read.error));
        return 0;
    }
    const WriteResult result = writeOutputFile(output, read.identity, [&](const ByteSink &sink) {
        struct stat st = {};
        for (int fd = 3; fd < 64 && !S_ISREG(st.st_mode); ++fd) {
            if (QFile::symLinkTarget("/proc/self/fd/" + QString::number(fd))
                    .startsWith(QFileInfo(output).path()))
                ::fstat(fd, &st);
        }
        std::printf("%o\n", st.st_mode & 07777);
        std::fflush(stdout);
        const QByteArray piece(1 << 20, 'x');
        for (int i = 0; i < 4; ++i) {
            if (!sink(piece, piece.size()))
                return false;
        }
        return true;
    });
    std::printf("%d %d\n", int(result.status), result.error);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 4 && qstrcmp(argv[1], "--child") == 0)
        return child(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    QCoreApplication app(argc, argv);
    TestFileIo test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_fileio.moc"
