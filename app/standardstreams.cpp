// SPDX-License-Identifier: MIT
#include "app/standardstreams.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace swipewatch {

void guardStandardStreams()
{
    // In order: open() returns the lowest free number, which is then fd.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (opened != fd && opened >= 0)
            ::close(opened);
    }
    std::signal(SIGPIPE, SIG_IGN);
}

StandardStreams::StandardStreams(QString program)
    : m_program(std::move(program)), m_out(&m_outFile), m_err(&m_errFile)
{
    // Straight to the descriptors, so a failed write keeps its reason.
    const auto mode = QIODevice::WriteOnly | QIODevice::Unbuffered;
    m_outFile.open(STDOUT_FILENO, mode, QFileDevice::DontCloseHandle);
    m_errFile.open(STDERR_FILENO, mode, QFileDevice::DontCloseHandle);
}

namespace {

// Why writes through stdio to stream failed, or empty if none did. A failed
// flush drops what it could not write, so an earlier failure has lost its
// reason by now.
QString stdioFailure(std::FILE *stream)
{
    errno = 0;
    if (std::fflush(stream) != 0 || std::ferror(stream))
        return qt_error_string(errno ? errno : EIO);
    return {};
}

} // namespace

int StandardStreams::finish(int status)
{
    m_out.flush();
    m_err.flush();
    QString reason =
        m_outFile.error() != QFileDevice::NoError ? m_outFile.errorString() : stdioFailure(stdout);
    // Some file systems report a failed write only when the file is closed.
    if (reason.isEmpty() && ::close(STDOUT_FILENO) != 0)
        reason = qt_error_string(errno);
    const bool errorFailed =
        m_errFile.error() != QFileDevice::NoError || !stdioFailure(stderr).isEmpty();
    if (reason.isEmpty() && !errorFailed)
        return status;
    if (!reason.isEmpty()) {
        m_err << m_program << ": write error: " << reason << '\n';
        m_err.flush();
    }
    return status == 0 ? 1 : status;
}

} // namespace swipewatch
