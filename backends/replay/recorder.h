// SPDX-License-Identifier: MIT
// Writes a recording (recording.h) as the reads arrive: connect it to
// MsrControl::rawRead. Each line is written whole as it comes, so a recording
// cut short by a crash or Ctrl-C holds every read before it. The file holds
// whole card numbers: it is created with mode 0600, an existing file is
// emptied and set to 0600, and a symbolic link or anything but a regular
// file is refused rather than written through.
#pragma once

#include "backends/replay/recording.h"

#include <QString>

namespace msr::replay {

class Recorder {
public:
    Recorder() = default;
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;
    ~Recorder() { close(); }

    // Creates the file and writes the header for source; the time line starts
    // now. false, with lastError(), when it cannot.
    bool open(const QString &path, const RawSource &source);
    // Appends a read. false on a write error, said by lastError(); the
    // recording is closed then, and every later write fails too.
    bool write(const RawRead &read);
    bool close();

    bool isOpen() const { return m_fd >= 0; }
    QString lastError() const { return m_error; }

private:
    bool put(const QByteArray &line);
    bool fail(const QString &what, int error);

    int m_fd = -1;
    QString m_path, m_error;
    Header m_header;
    qint64 m_startNs = 0;
    qint64 m_lastUs = 0;
    QByteArray m_partial; // keyboard: the start of a record the next read ends
};

} // namespace msr::replay
