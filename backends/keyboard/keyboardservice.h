// SPDX-License-Identifier: MIT
// Keyboard-type readers: the reader types the card as key presses, and this
// service reads them from its evdev node (/dev/input/event*, better a stable
// /dev/input/by-id/...-event-kbd link) while it holds the claim. At claim it
// takes the device for itself (EVIOCGRAB), so the keystrokes no longer reach
// any other window; release gives it back. grab=no leaves them to the
// desktop as well, for watching beside a running till.
//
// Device list:
//     TILL1 = keyboard device=/dev/input/by-id/usb-...-event-kbd gap=150 lrc=no layout=fr
// with the options backends/common/textreaderoptions.h describes, grab=
// (yes, the default, or no: see above), and layout= and variant= (XKB names,
// default us and none): the layout the reader is set to, compiled when the
// settings are read, so at Open. The text
// is read as backends/text/swipetext.h describes. Keystrokes the kernel lost
// (SYN_DROPPED), and a swipe in progress when the reader is unplugged, give
// 205 on every track the swipe touched. While the control's queue is full
// the node is not read (backends/common/swipehold.h): the kernel keeps what
// fits in its buffer, and a swipe it had to drop keystrokes of gives 205.
#pragma once

#include "backends/common/devicepump.h"
#include "backends/common/swipehold.h"
#include "backends/common/textfeed.h"
#include "backends/keyboard/keydecoder.h"
#include "reader/msrservice.h"

#include <functional>
#include <memory>
#include <optional>

namespace msr {

struct KeyboardSettings : TextReaderSettings {
    // grab=no: read beside the desktop, which keeps getting the keys, to
    // watch a reader a running till uses.
    bool grab = true;
    std::shared_ptr<const KeyLayout> layout;
};

// The settings of a device-list entry, or nullopt with *error saying what is wrong.
std::optional<KeyboardSettings> keyboardSettings(const DeviceEntry &entry, QString *error);

class KeyboardService : public MsrService {
    Q_OBJECT
public:
    KeyboardService(const QString &name, KeyboardSettings settings, QObject *parent = nullptr);
    ~KeyboardService() override;

    // 107 no such node, 111 no access or not an input event node, 112 another
    // program holds the grab past the timeout; each said on standard error.
    std::int32_t claim(std::int32_t timeout) override;
    void release() override;
    void swipeFinished(quint64 id, bool delivered, const QString &reason) override;
    QString lastError() const { return m_pump->lastError(); }
    RawSource rawSource() const override;

private:
    void take(const QByteArray &bytes);
    void readerGone();

    KeyboardSettings m_settings;
    std::unique_ptr<DeviceOps> m_ops;
    DevicePump *m_pump;
    TextFeed m_text;
    SwipeHold m_hold;
    KeyDecoder m_keys;
};

std::unique_ptr<MsrService> createKeyboardService(const DeviceEntry &entry, QString *error);

// The key presses among whole input_event records.
int keyPresses(QByteArrayView records);

// One read of key records, for the keyboard service and its replay: decoded,
// shown to tap (the text it types and its key presses), then typed into text,
// lost keys spoiling the swipe. The tap comes first, so a read is told before
// the swipe it ends.
void typeKeys(KeyDecoder &keys, TextFeed &text, QByteArrayView records,
              const std::function<void(const QByteArray &typed, int presses)> &tap);

} // namespace msr
