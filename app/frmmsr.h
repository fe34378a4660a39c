// SPDX-License-Identifier: MIT
// The program's only window: the three tracks of the last swipe, their
// lengths or error texts, the input and error counts, and the choice between
// per-card and per-track error reporting. It holds the reader, MSR, and
// starts it on its first activation.
#pragma once

#include "app/controls.h"
#include "reader/msrproxy.h"
#include "reader/opos.h"

#include <QWidget>

#include <array>

namespace reporting {
class MessageBoxes;
}

namespace swipewatch {

class frmMSR : public QWidget {
    Q_OBJECT
public:
    static constexpr const char *kDeviceName = "MCRSTUBEX";
    // The font of the frame and the option buttons.
    static QFont defaultFont();

    // reader must outlive the window; boxes shows the result code messages;
    // deviceName is the logical device opened at the first activation.
    frmMSR(msr::DispatchInterface *reader, reporting::MessageBoxes &boxes,
           QString deviceName = QString::fromLatin1(kDeviceName), QWidget *parent = nullptr);
    ~frmMSR() override;

    // The controls, addressed as the handlers address them. Control arrays
    // take their Index; Label1 counts from 1, the others from 0.
    msr::MsrProxy *MSR() { return &m_msr; }
    ui::Frame *Frame1() const { return m_frame1; }
    ui::OptionButton *Option1(int Index) const;
    ui::TextBox *tbTrack(int Index) const;
    ui::Label *lbTrackDataLng(int Index) const;
    ui::Label *Label1(int Index) const;
    ui::Label *Label2() const { return m_label2; }
    ui::Label *Label3() const { return m_label3; }
    ui::Label *lbCount() const { return m_lbCount; }
    ui::Label *lbErrorCount() const { return m_lbErrorCount; }

    // The form-level variables, for inspection.
    qint32 startState() const { return iStartState; }
    opos::Boolean inputDataError() const { return bInputDataError; }
    qint32 trackErrors() const { return lTrackErrors; }

protected:
    bool event(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();

    void Form_Load();
    void Form_Activate();
    void StartDevice();
    void Form_Unload(qint16 &Cancel);
    void MSR_DataEvent(qint32 Status);
    void MSR_ErrorEvent(qint32 ResultCode, qint32 ResultCodeExtended, qint32 ErrorLocus,
                        qint32 &ErrorResponse);
    void Option1_Click(qint16 Index);

    void activated();
    void showTrackData();
    void addOne(ui::Label *counter);

    msr::MsrProxy m_msr;
    reporting::MessageBoxes &m_boxes;
    const QString m_deviceName;

    ui::Frame *m_frame1 = nullptr;
    std::array<ui::OptionButton *, 2> m_option1{};
    std::array<ui::TextBox *, 3> m_tbTrack{};
    std::array<ui::Label *, 3> m_lbTrackDataLng{};
    std::array<ui::Label *, 3> m_label1{}; // Index 1 to 3
    ui::Label *m_label2 = nullptr;
    ui::Label *m_label3 = nullptr;
    ui::Label *m_lbCount = nullptr;
    ui::Label *m_lbErrorCount = nullptr;

    qint32 iStartState = 0;
    opos::Boolean bInputDataError = opos::False;
    qint32 lTrackErrors = 0;

    bool m_shown = false;
    bool m_unloaded = false;
};

} // namespace swipewatch
