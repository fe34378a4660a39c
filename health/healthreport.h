// SPDX-License-Identifier: MIT
// The health check's reports: a table for the terminal, JSON for scripts,
// and one self-contained HTML page for the service ticket that prints on one
// A4 sheet (no scripts, no files or fonts from elsewhere).
#pragma once

#include "health/healthcheck.h"

#include <QByteArray>
#include <QString>

namespace health {

QString terminalReport(const Input &input, const Result &result);
QByteArray jsonReport(const Input &input, const Result &result);
QByteArray htmlReport(const Input &input, const Result &result);

} // namespace health
