// SPDX-License-Identifier: MIT
// An exclusive claim on a logical device that holds across processes: an
// flock on a file in the runtime folder. The kernel drops it when the holder
// dies, however it dies, so a killed window never blocks the next one. A
// symbolic link at the path is refused, never followed. The lock file alone
// cannot guard a claim whose file was removed after it was taken; the
// virtual reader also refuses a claim while a holder answers on its socket.
#pragma once

#include <QString>

#include <cstdint>

namespace msr {

class ClaimLock {
public:
    explicit ClaimLock(QString path);
    ~ClaimLock();
    ClaimLock(const ClaimLock &) = delete;
    ClaimLock &operator=(const ClaimLock &) = delete;

    // timeout in milliseconds: 0 tries once, negative waits forever.
    // Returns an OPOS result code: 0, OPOS_E_TIMEOUT or OPOS_E_FAILURE.
    std::int32_t acquire(std::int32_t timeout);
    void release();
    QString lastError() const { return m_error; }

private:
    QString m_path;
    QString m_error;
    int m_fd = -1;
};

} // namespace msr
