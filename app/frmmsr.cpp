// SPDX-License-Identifier: MIT
#include "app/frmmsr.h"

#include "app/icon.h"
#include "app/runtimeerror.h"
#include "app/trackword.h"
#include "app/twips.h"
#include "reporting/resultcode.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>

#include <limits>

namespace swipewatch {

using reporting::ShowResultCode;
using ui::TwipsRect;

namespace {

// The designed client area and control rectangles, in twips. The option
// buttons count from the frame's corner. MSR's own square (3060, 270,
// 420 x 420) is not drawn: the reader control has no face on this window.
constexpr int kClientWidth = 5400;
constexpr int kClientHeight = 6045;

constexpr TwipsRect kFrame1{240, 480, 4935, 615};
constexpr TwipsRect kOption1[2] = {{840, 300, 1275, 195}, {2520, 300, 1275, 195}};
constexpr TwipsRect kTbTrack[3] = {
    {240, 1800, 4935, 375}, {240, 2880, 4935, 375}, {240, 3960, 4935, 375}};
constexpr TwipsRect kLbTrackDataLng[3] = {
    {3540, 1440, 1635, 315}, {3540, 2520, 1635, 315}, {3540, 3600, 1635, 315}};
constexpr TwipsRect kLabel1[3] = {
    {120, 1320, 1890, 375}, {120, 2400, 1890, 375}, {120, 3480, 1890, 375}};
constexpr TwipsRect kLabel2{180, 4680, 1875, 375};
constexpr TwipsRect kLabel3{180, 5280, 1875, 375};
constexpr TwipsRect kLbCount{2520, 4680, 855, 375};
constexpr TwipsRect kLbErrorCount{2520, 5280, 855, 375};

// Arial where it is installed, else a face with the same metrics, so captions
// fit their designed widths.
QFont arialFont(qreal points, QFont::Weight weight)
{
    QFont font;
    font.setFamilies(
        {QStringLiteral("Arial"), QStringLiteral("Liberation Sans"), QStringLiteral("Arimo")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(points);
    font.setWeight(weight);
    return font;
}

// Track data is shown in a fixed-pitch face so the columns of a track line up
// from one swipe to the next.
QFont terminalFont(qreal points)
{
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Mono"), QStringLiteral("DejaVu Sans Mono"),
                      QStringLiteral("Noto Sans Mono")});
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    font.setPointSizeF(points);
    return font;
}

// The value labels sit on the window-background colour of the system, the
// colour behind a text box, and keep a readable text colour on it.
void giveValueBackground(ui::Label *label)
{
    label->setBackgroundRole(QPalette::Base);
    label->setForegroundRole(QPalette::Text);
    label->setAutoFillBackground(true);
}

template <typename Control, std::size_t N>
Control *element(const std::array<Control *, N> &array, int index, int base, const char *name)
{
    const int slot = index - base;
    if (slot < 0 || slot >= int(N))
        throw RuntimeError(std::string("Control array element ") + name + "(" +
                           std::to_string(index) + ") doesn't exist");
    return array[std::size_t(slot)];
}

} // namespace

// The window's default font, used by the frame and the option buttons.
QFont frmMSR::defaultFont()
{
    return arialFont(8, QFont::Normal);
}

frmMSR::frmMSR(msr::DispatchInterface *reader, reporting::MessageBoxes &boxes, QString deviceName,
               QWidget *parent)
    : QWidget(parent), m_msr(reader), m_boxes(boxes), m_deviceName(std::move(deviceName))
{
    setObjectName(QStringLiteral("frmMSR"));
    setWindowTitle(QStringLiteral("MSR"));
    setWindowIcon(programIcon());
    // A fixed dialog-like frame: it can be minimised but not resized.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFont(defaultFont());

    createControls();

    connect(&m_msr, &msr::MsrProxy::DataEvent, this, &frmMSR::MSR_DataEvent);
    connect(&m_msr, &msr::MsrProxy::ErrorEvent, this,
            [this](qint32 ResultCode, qint32 ResultCodeExtended, qint32 ErrorLocus,
                   qint32 *ErrorResponse) {
                MSR_ErrorEvent(ResultCode, ResultCodeExtended, ErrorLocus, *ErrorResponse);
            });
    for (ui::OptionButton *button : m_option1)
        connect(button, &ui::OptionButton::Click, this, &frmMSR::Option1_Click);

    Form_Load();
}

frmMSR::~frmMSR() = default;

void frmMSR::createControls()
{
    const int dpiX = logicalDpiX();
    const int dpiY = logicalDpiY();
    const auto place = [dpiX, dpiY](QWidget *control, const TwipsRect &rect) {
        control->setGeometry(ui::toPixels(rect, dpiX, dpiY));
    };
    setFixedSize(ui::twipsToPixels(kClientWidth, dpiX), ui::twipsToPixels(kClientHeight, dpiY));

    const QFont captionFont = arialFont(15.75, QFont::Bold);
    const QFont countFont = arialFont(15.75, QFont::Normal);
    const QFont lengthFont = arialFont(12, QFont::Normal);
    const QFont trackFont = terminalFont(9);

    // Fonts and places come before captions: a label measures its caption
    // against both to know whether it is cut.
    m_frame1 = new ui::Frame(this);
    m_frame1->setObjectName(QStringLiteral("Frame1"));
    m_frame1->setCaption(QStringLiteral("ErrorReportingType"));
    place(m_frame1, kFrame1);

    // "Track" first: it leads the tab order, and it is the option group's tab
    // stop until the user picks "Card".
    const char *optionCaptions[2] = {"Card", "Track"};
    for (int i : {1, 0}) {
        auto *button = new ui::OptionButton(m_frame1, qint16(i));
        button->setObjectName(QStringLiteral("Option1_%1").arg(i));
        button->setCaption(QString::fromLatin1(optionCaptions[i]));
        place(button, kOption1[i]);
        m_option1[std::size_t(i)] = button;
    }

    for (int n = 1; n <= 3; ++n) {
        const std::size_t i = std::size_t(n - 1);
        auto *caption = new ui::Label(this, qint16(n));
        caption->setObjectName(QStringLiteral("Label1_%1").arg(n));
        caption->setFont(captionFont);
        place(caption, kLabel1[i]);
        caption->setCaption(QStringLiteral("Track%1Data").arg(n));
        m_label1[i] = caption;

        auto *length = new ui::Label(this, qint16(i));
        length->setObjectName(QStringLiteral("lbTrackDataLng_%1").arg(i));
        length->setFont(lengthFont);
        length->fitCaptions(); // "Start sentinel error" is wider than the label
        length->setAccessibleDescription(QStringLiteral("Track %1 length or error").arg(n));
        giveValueBackground(length);
        place(length, kLbTrackDataLng[i]);
        m_lbTrackDataLng[i] = length;

        auto *box = new ui::TextBox(this, qint16(i));
        box->setObjectName(QStringLiteral("tbTrack_%1").arg(i));
        box->setFont(trackFont);
        box->setAccessibleName(caption->Caption());
        caption->setBuddy(box);
        place(box, kTbTrack[i]);
        m_tbTrack[i] = box;
    }

    const auto counterRow = [&](ui::Label *&captionLabel, const char *captionName,
                                const char *captionText, const TwipsRect &captionRect,
                                ui::Label *&valueLabel, const char *valueName,
                                const TwipsRect &valueRect) {
        captionLabel = new ui::Label(this);
        captionLabel->setObjectName(QString::fromLatin1(captionName));
        captionLabel->setFont(captionFont);
        place(captionLabel, captionRect);
        captionLabel->setCaption(QString::fromLatin1(captionText));

        valueLabel = new ui::Label(this);
        valueLabel->setObjectName(QString::fromLatin1(valueName));
        valueLabel->setFont(countFont);
        valueLabel->fitCaptions(); // a count shows all its digits, smaller if need be
        valueLabel->setAccessibleDescription(QString::fromLatin1(captionText));
        giveValueBackground(valueLabel);
        place(valueLabel, valueRect);
    };
    counterRow(m_label2, "Label2", "InputCount", kLabel2, m_lbCount, "lbCount", kLbCount);
    counterRow(m_label3, "Label3", "ErrorCount", kLabel3, m_lbErrorCount, "lbErrorCount",
               kLbErrorCount);

    // Only the text boxes and the option buttons take the focus, "Track" first.
    QWidget::setTabOrder(m_option1[1], m_tbTrack[0]);
    QWidget::setTabOrder(m_tbTrack[0], m_tbTrack[1]);
    QWidget::setTabOrder(m_tbTrack[1], m_tbTrack[2]);
    QWidget::setTabOrder(m_tbTrack[2], m_option1[0]);
}

ui::OptionButton *frmMSR::Option1(int Index) const
{
    return element(m_option1, Index, 0, "Option1");
}

ui::TextBox *frmMSR::tbTrack(int Index) const
{
    return element(m_tbTrack, Index, 0, "tbTrack");
}

ui::Label *frmMSR::lbTrackDataLng(int Index) const
{
    return element(m_lbTrackDataLng, Index, 0, "lbTrackDataLng");
}

ui::Label *frmMSR::Label1(int Index) const
{
    return element(m_label1, Index, 1, "Label1");
}

bool frmMSR::event(QEvent *event)
{
    if (event->type() == QEvent::WindowActivate)
        activated();
    return QWidget::event(event);
}

void frmMSR::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_shown)
        return;
    m_shown = true;
    // The first show counts as the first activation even where no window
    // manager hands out focus. It is queued so that start-up, and any message
    // box it shows, comes after the window is on screen.
    QMetaObject::invokeMethod(this, &frmMSR::activated, Qt::QueuedConnection);
}

void frmMSR::activated()
{
    // A window that has been closed, or was never shown, is not activated.
    if (m_unloaded || !isVisible())
        return;
    Form_Activate();
}

void frmMSR::closeEvent(QCloseEvent *event)
{
    // Once unloaded, the window closes without asking the reader again.
    if (!m_unloaded) {
        qint16 Cancel = 0;
        Form_Unload(Cancel);
        if (Cancel != 0) {
            event->ignore();
            return;
        }
        m_unloaded = true;
    }
    event->accept();
}

void frmMSR::Form_Load()
{
    iStartState = 1;
    bInputDataError = opos::False;
}

void frmMSR::Form_Activate()
{
    if (iStartState == 1) {
        // Set before the call: a message box inside StartDevice lets another
        // activation through, and that one must not start the reader again.
        iStartState = 2;
        StartDevice();
    }
}

void frmMSR::StartDevice()
{
    ShowResultCode(QStringLiteral("Open Error"), MSR()->Open(m_deviceName), m_boxes, this);
    if (MSR()->State() != opos::OPOS_S_CLOSED) {
        Option1(1)->setValue(true);
        MSR()->setErrorReportingType(opos::MSR_ERT_TRACK);
        ShowResultCode(QStringLiteral("Claim Error"), MSR()->ClaimDevice(0), m_boxes, this);
        if (MSR()->Claimed()) {
            MSR()->setDeviceEnabled(true);
            MSR()->setDataEventEnabled(true);
            lbCount()->setTag(QString::number(0));
            lbCount()->setCaption(lbCount()->Tag());
            lbErrorCount()->setTag(QString::number(0));
            lbErrorCount()->setCaption(lbErrorCount()->Tag());
        }
    }
    lTrackErrors = 0;
}

void frmMSR::Form_Unload(qint16 &Cancel)
{
    Q_UNUSED(Cancel); // the window always closes
    if (MSR()->State() == opos::OPOS_S_CLOSED)
        return;
    MSR()->setDeviceEnabled(false);
    if (MSR()->Claimed())
        ShowResultCode(QStringLiteral("Release Error"), MSR()->ReleaseDevice(), m_boxes, this);
    ShowResultCode(QStringLiteral("Close Error"), MSR()->Close(), m_boxes, this);
}

void frmMSR::showTrackData()
{
    tbTrack(0)->setText(QString());
    tbTrack(1)->setText(QString());
    tbTrack(2)->setText(QString());
    // Once, so the emptied boxes are painted before the new data goes in.
    QCoreApplication::processEvents();
    tbTrack(0)->setText(MSR()->Track1Data());
    tbTrack(1)->setText(MSR()->Track2Data());
    tbTrack(2)->setText(MSR()->Track3Data());
}

void frmMSR::addOne(ui::Label *counter)
{
    bool isNumber = false;
    const qint64 count = counter->Tag().toLongLong(&isNumber);
    if (!isNumber)
        throw RuntimeError("Type mismatch: the Tag of " + counter->objectName().toStdString() +
                           " holds no number");
    if (count == std::numeric_limits<qint64>::max())
        throw RuntimeError("Overflow: the count in " + counter->objectName().toStdString() +
                           " cannot go higher");
    counter->setTag(QString::number(count + 1));
    counter->setCaption(counter->Tag());
}

void frmMSR::MSR_DataEvent(qint32 Status)
{
    showTrackData();
    for (int i = 0; i < 3; ++i) {
        if (trackByte(lTrackErrors, i) == 0)
            lbTrackDataLng(i)->setCaption(reporting::signPositionText(trackByte(Status, i)) +
                                          QStringLiteral(" Byte"));
    }
    addOne(lbCount());
    MSR()->setDataEventEnabled(true);
    lTrackErrors = 0;
}

void frmMSR::MSR_ErrorEvent(qint32 ResultCode, qint32 ResultCodeExtended, qint32 ErrorLocus,
                            qint32 &ErrorResponse)
{
    Q_UNUSED(ResultCode);
    Q_UNUSED(ErrorResponse); // the reader's preset response stands
    lTrackErrors = 0;
    if (bInputDataError == opos::False) {
        showTrackData();
        if (MSR()->ErrorReportingType() == opos::MSR_ERT_CARD) {
            lbTrackDataLng(0)->setCaption(reporting::trackErrorText(ResultCodeExtended));
            lbTrackDataLng(1)->setCaption(lbTrackDataLng(0)->Caption());
            lbTrackDataLng(2)->setCaption(lbTrackDataLng(0)->Caption());
        } else {
            if (ErrorLocus == opos::OPOS_EL_INPUT_DATA)
                lTrackErrors = ResultCodeExtended;
            for (int i = 0; i < 3; ++i) {
                const int code = trackByte(ResultCodeExtended, i);
                lbTrackDataLng(i)->setCaption(code != 0 ? reporting::trackErrorText(code)
                                                        : QString());
            }
        }
        addOne(lbErrorCount());
    }
    bInputDataError = ErrorLocus == opos::OPOS_EL_INPUT_DATA ? opos::True : opos::False;
}

void frmMSR::Option1_Click(qint16 Index)
{
    Q_UNUSED(Index); // the selection is read from the buttons themselves
    if (Option1(1)->Value()) {
        if (MSR()->ErrorReportingType() == opos::MSR_ERT_CARD)
            MSR()->setErrorReportingType(opos::MSR_ERT_TRACK);
    } else {
        if (MSR()->ErrorReportingType() == opos::MSR_ERT_TRACK)
            MSR()->setErrorReportingType(opos::MSR_ERT_CARD);
    }
}

} // namespace swipewatch
