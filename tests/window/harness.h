// SPDX-License-Identifier: MIT
// A window wired to a fake reader and a message seam that answers at once.
#pragma once

#include "app/frmmsr.h"
#include "tests/support/fakereader.h"
#include "tests/support/recordingmessageboxes.h"

#include <QtTest>

#include <memory>

namespace dispid = msr::dispid;
using testsupport::call;
using testsupport::get;
using testsupport::put;
using testsupport::ShownMessage;
using testsupport::trackWord;
using Messages = QList<ShownMessage>;

struct Harness {
    testsupport::FakeReader reader;
    testsupport::RecordingMessageBoxes boxes;
    std::unique_ptr<swipewatch::frmMSR> form = std::make_unique<swipewatch::frmMSR>(&reader, boxes);

    // Shows the window; true once its first activation has run start-up.
    [[nodiscard]] bool start()
    {
        form->show();
        return QTest::qWaitFor([this] { return form->startState() == 2; });
    }

    QStringList lengths() const
    {
        return {form->lbTrackDataLng(0)->Caption(), form->lbTrackDataLng(1)->Caption(),
                form->lbTrackDataLng(2)->Caption()};
    }
    QStringList boxTexts() const
    {
        return {form->tbTrack(0)->Text(), form->tbTrack(1)->Text(), form->tbTrack(2)->Text()};
    }
};
