// SPDX-License-Identifier: MIT
#include "backends/replay/recorder.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/input.h>
#include <sys/stat.h>
#include <unistd.h>

namespace msr::replay {

bool Recorder::open(const QString &path, const RawSource &source)
{
    close();
    m_path = path;
    m_error.clear();
    if (source.kind.isEmpty()) {
        m_error = QStringLiteral("this kind of reader delivers no raw reads to record");
        return false;
    }
    // Not O_TRUNC: a special file must be left as it was; O_NONBLOCK: a FIFO
    // without a reader must not hang here.
    const int fd =
        ::open(QFile::encodeName(path).constData(),
               O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return fail(errno == ELOOP ? QStringLiteral("it is a symbolic link; not following it")
                                   : QString(),
                    errno);
    m_fd = fd;
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return fail({}, errno);
    if (!S_ISREG(st.st_mode))
        return fail(QStringLiteral("not a regular file"), 0);
    if (::fchmod(fd, 0600) != 0 || ::ftruncate(fd, 0) != 0)
        return fail({}, errno);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    m_header = headerFor(source);
    m_startNs = monotonicNs();
    m_lastUs = 0;
    m_partial.clear();
    return put(formatHeader(m_header));
}

bool Recorder::write(const RawRead &read)
{
    if (m_fd < 0) {
        if (m_error.isEmpty())
            m_error = QStringLiteral("the recording is not open");
        return false;
    }
    Step step;
    step.type = read.type;
    // Milliseconds are finer than any idle gap; microseconds would only be noise.
    step.atUs = std::max(m_lastUs, (read.monotonicNs - m_startNs + 500'000) / 1'000'000 * 1000);
    m_lastUs = step.atUs;
    if (read.type != RawRead::Type::Read) {
        m_partial.clear(); // the key decoder starts afresh on a new node too
        return put(formatStep(m_header.kind, step));
    }
    step.bytes = read.bytes;
    if (m_header.kind == u"hid" && !read.source.descriptor.isEmpty() &&
        read.source.descriptor != m_header.descriptor) {
        // Back as a reader of another model: its reports are read the new way.
        m_header.descriptor = read.source.descriptor;
        Step descriptor = step;
        descriptor.descriptor = true;
        descriptor.bytes = m_header.descriptor;
        if (!put(formatStep(m_header.kind, descriptor)))
            return false;
    }
    if (m_header.kind == u"keyboard") {
        // Only whole records are written; a part waits for the read that ends it,
        // as it waits in the key decoder.
        m_partial += read.bytes;
        const qsizetype whole =
            m_partial.size() - m_partial.size() % qsizetype(sizeof(input_event));
        step.bytes = m_partial.left(whole);
        m_partial.remove(0, whole);
        if (step.bytes.isEmpty())
            return true;
    }
    return put(formatStep(m_header.kind, step));
}

bool Recorder::close()
{
    if (m_fd < 0)
        return m_error.isEmpty();
    const int fd = std::exchange(m_fd, -1);
    if (::close(fd) != 0 && m_error.isEmpty()) {
        m_error = QStringLiteral("cannot write %1: %2")
                      .arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return m_error.isEmpty();
}

bool Recorder::put(const QByteArray &line)
{
    for (qsizetype done = 0; done < line.size();) {
        const ssize_t n = ::write(m_fd, line.constData() + done, std::size_t(line.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail({}, n < 0 ? errno : ENOSPC);
        done += n;
    }
    return true;
}

bool Recorder::fail(const QString &what, int error)
{
    m_error =
        QStringLiteral("cannot write %1: %2")
            .arg(m_path, what.isEmpty() ? QString::fromLocal8Bit(std::strerror(error)) : what);
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));
    return false;
}

} // namespace msr::replay
