// SPDX-License-Identifier: MIT
// The standard streams of each program. What a program prints is often the
// result the user relies on (a udev rule redirected into /etc/udev/rules.d, a
// listing piped on), so output that could not be written is a failure, never
// a success. Qt Core only: shared by the window and both command-line tools.
#pragma once

#include <QFile>
#include <QString>
#include <QTextStream>

namespace swipewatch {

// First thing in main. A standard descriptor the program was started without
// gets /dev/null opened the wrong way round: no file opened later takes its
// number (and the program's output), and writing to a closed standard output
// fails as it should. SIGPIPE is ignored, so a pipe whose reader has gone is
// a write error like a full disk, reported and ended the same way.
void guardStandardStreams();

// Standard output and standard error as text streams that remember why a
// write failed.
class StandardStreams {
public:
    explicit StandardStreams(QString program);
    QTextStream &out() { return m_out; }
    QTextStream &err() { return m_err; }

    // Last thing in main, after the last write: flushes both and closes
    // standard output. If any write to either failed (these streams', or
    // stdio's, as Qt's own messages use), says "PROGRAM: write error: REASON"
    // on standard error, if that still works, and returns 1 where status was
    // 0; a failure status already set is kept.
    int finish(int status);

private:
    QString m_program;
    QFile m_outFile;
    QFile m_errFile;
    QTextStream m_out;
    QTextStream m_err;
};

} // namespace swipewatch
