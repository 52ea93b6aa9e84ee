// How every program of this project reads its input and writes its one output. The input is read
// through a descriptor that cannot block and is checked after it was opened; the output is written
// beside it through a fresh temporary file that replaces the old output only once it is complete,
// never through a symbolic link and never over the input itself.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>
#include <limits>
#include <sys/types.h>
#include <time.h>

// A file on disk as the kernel knows it: the same file has the same device and inode under every
// name (hard links, bind mounts, `..` through links, case-insensitive file systems). Some file
// systems number names rather than files (FUSE without inode numbers of its own, such as the
// exFAT driver on a case-insensitive stick); there the same size, modification and change times
// to the nanosecond mark the same file. The folder the file was read from is kept too: its
// output goes there and nowhere else. So is the file's name in that folder: a name that equals it
// ignoring case is taken for the file on every file system, since a case-insensitive one may
// number names apart and its times may change while the output is written.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    qint64 size = 0;
    timespec modified{};
    timespec changed{};
    dev_t folderDevice = 0;
    ino_t folderInode = 0;
    QByteArray name; // the last name of the path, as the file system knows it
    bool valid = false;
};

// The whole content of an input file, or why it could not be read.
struct InputFile {
    QByteArray data;
    FileIdentity identity;
    QString error; // empty when `data` holds the whole file
};

// The largest file that is read: Qt 5 holds at most about 2 GiB in one byte array.
constexpr qint64 maxInputSize = std::numeric_limits<int>::max() - 4096;

// Reads the regular file at `path` whole, exactly the size it had when it was opened, without
// changing its access time where the kernel allows that (to the file's owner and to privileged
// processes). Directories, pipes, devices and sockets are refused without blocking;
// so is a file larger than maxInputSize, a file that changes while it is read (it yields fewer
// bytes than its size, or its size or times differ afterwards), and a name that is not valid
// UTF-8 (Qt would hand back another name, which may be another file).
InputFile readInputFile(const QString &path);

// Reads the first bytes of the regular file at `path` by the same rules into `buffer`: at most
// `capacity` bytes, fewer when the file is shorter, however large the file is. Nothing is read
// into any other buffer, so a caller that reads a secret can wipe every copy. Returns the count
// read, or -1 with `error` set.
qint64 readInputFileStart(const QString &path, char *buffer, qint64 capacity, QString &error);

enum class WriteStatus {
    Saved,     // the output holds exactly the bytes produced
    IsInput,   // the output name is the input file: nothing was written
    IsSymlink, // the output name is a symbolic link: nothing was written
    Failed,    // nothing was written, and an existing output is as it was
};

// What became of a write: its status, and for Failed the system's reason where there is one.
struct WriteResult {
    WriteStatus status = WriteStatus::Failed;
    int error = 0; // the errno of the step that failed; 0 when the system gave no reason
    operator WriteStatus() const { return status; }
};

// Takes the output's bytes piece by piece; false when a piece could not be written.
using ByteSink = std::function<bool(const char *data, qint64 size)>;
// Produces the whole output into the sink; false stops the write.
using OutputProducer = std::function<bool(const ByteSink &sink)>;

// Writes the output file at `outputPath`, unless it is the file `input` or a symbolic link, or its
// folder is no longer the one `input` was read from. A program that reads several inputs in one
// run names the others in `spared`: the output is not written over any of them either (IsInput).
// The new file can be read by its owner alone until it is complete; it then gets the mode (without
// execute bits) and the access ACL of the output it replaces, or for a new output those a file
// created by the process would get. Where the file system offers unnamed files (O_TMPFILE), it
// has no name until it is complete; elsewhere SIGINT, SIGTERM and SIGHUP remove the temporary
// file before they end the process. The folder is synced after the rename.
WriteResult writeOutputFile(const QString &outputPath, const FileIdentity &input,
                            const OutputProducer &produce,
                            const QVector<FileIdentity> &spared = {});
WriteResult writeOutputFile(const QString &outputPath, const FileIdentity &input,
                            const QByteArray &bytes, const QVector<FileIdentity> &spared = {});

// The identity of the file at `path`, links followed, without opening it; not valid when there
// is none. It serves to spare the file.
FileIdentity fileIdentity(const QString &path);

// `path` made absolute, as the kernel resolves it: the current folder put before a relative path,
// nothing cleaned (`lnk/..` is the parent of the folder `lnk` points to, not the current folder).
QString absolutePathAsGiven(const QString &path);

// A sink that writes everything it is given to the open descriptor `fd`, also when the kernel
// takes it in parts.
ByteSink descriptorSink(int fd);

// Makes the process write nothing but its outputs: Qt's user settings, where its file dialog
// keeps the folders it visited, point where nothing can be created, and a write past the file
// size limit fails like one to a full disk instead of ending the process with a half-written
// temporary file. Call at the start of main.
void restrictWritesToOutputs();

// The output beside `inputPath`: its folder as written (a `..` is resolved by the file system,
// not cut away as text), its name up to the last dot, then `suffix`.
QString outputPathFor(const QString &inputPath, const QString &suffix);
