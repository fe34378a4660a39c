#include "tests/support/recordingmessageboxes.h"

#include <QtTest/qtestcase.h>

char *testsupport::toString(const ShownMessage &message)
{
    return QTest::toString(QStringLiteral("[%1] \"%2\"").arg(message.title, message.text));
}
