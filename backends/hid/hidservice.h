// SPDX-License-Identifier: MIT
// The service for a stripe reader in HID mode: reads one input report per
// swipe from its hidraw node. Device list entries:
//     TILL2 = hid device=/dev/hidraw3
//     TILL2 = hid match=0801:0002      # USB vendor:product, found at claim
// A node whose input reports carry no track data (say the keyboard
// interface of a keyboard-type reader) is refused at Open. hidraw has no
// grab: the claim is a lock on the name and one on the device (see
// DeviceClaim), so no other name for the same node can claim it.
// hidraw drops reports without a word once its small queue is full, so the
// node is read even while the control's queue is full:
// backends/common/swipehold.h keeps those swipes.
#pragma once

#include "backends/common/devicepump.h"
#include "backends/common/swipehold.h"
#include "backends/hid/hiddescriptor.h"
#include "backends/hid/hidsysfs.h"
#include "reader/deviceoptions.h"
#include "reader/msrservice.h"

#include <QString>

#include <memory>
#include <optional>

namespace msr {
class ClaimLock;
}

namespace hid {

class HidService : public msr::MsrService {
    Q_OBJECT
public:
    // Exactly one of devicePath and match.
    HidService(QString logicalName, QString devicePath, std::optional<UsbIds> match);
    ~HidService() override;

    // OPOS_E_NOHARDWARE when the node is missing, OPOS_E_FAILURE (see
    // lastError()) when it cannot be opened or is not a stripe reader,
    // OPOS_E_TIMEOUT when another holds the name or the device past the timeout; each
    // said on standard error. Unplugged and back: see devicepump.h; a reader
    // named by match= is found again by its ids, wherever its node is now.
    std::int32_t claim(std::int32_t timeout) override;
    void release() override;
    void swipeFinished(quint64 id, bool delivered, const QString &reason) override;

    QString lastError() const { return m_error; }
    QString currentNode() const { return m_pump->currentPath(); } // the node opened last
    bool isConnected() const { return m_pump->isPresent(); }
    msr::RawSource rawSource() const override;

signals:
    void unplugged();
    void replugged();

private:
    int readLayout(const QString &path, QString *why);
    void take(const QByteArray &report);
    void say(const QString &line) const;

    QString m_name;
    QString m_error;
    TrackLayout m_layout;
    QByteArray m_descriptor; // the one m_layout comes from
    std::unique_ptr<msr::ClaimLock> m_lock;
    msr::DevicePump *m_pump;
    msr::SwipeHold m_hold;
};

// Checks the entry's options (device= or match=) and, for a node that is
// plugged in, that it carries track data; null with *error otherwise.
std::unique_ptr<msr::MsrService> createHidService(const msr::DeviceEntry &entry, QString *error);

// A raw source of kind hid: the descriptor and where its layout puts each field.
msr::RawSource hidRawSource(const QString &device, const QByteArray &descriptor,
                            const TrackLayout &layout);

// The udev rule line msrprobe prints, named in permission errors.
QString udevRuleHint(const QString &devicePath);

} // namespace hid
