// SPDX-License-Identifier: MIT
// Values of the POS device control that the window and the reader share.
#pragma once

#include <cstdint>

namespace opos {

// OLE Automation booleans: True is -1, False is 0.
using Boolean = std::int16_t;
inline constexpr Boolean True = -1;
inline constexpr Boolean False = 0;

// Result codes returned by methods.
inline constexpr std::int32_t OPOS_SUCCESS = 0;
inline constexpr std::int32_t OPOS_E_CLOSED = 101;
inline constexpr std::int32_t OPOS_E_CLAIMED = 102;
inline constexpr std::int32_t OPOS_E_NOTCLAIMED = 103;
inline constexpr std::int32_t OPOS_E_NOSERVICE = 104;
inline constexpr std::int32_t OPOS_E_DISABLED = 105;
inline constexpr std::int32_t OPOS_E_ILLEGAL = 106;
inline constexpr std::int32_t OPOS_E_NOHARDWARE = 107;
inline constexpr std::int32_t OPOS_E_OFFLINE = 108;
inline constexpr std::int32_t OPOS_E_NOEXIST = 109;
inline constexpr std::int32_t OPOS_E_EXISTS = 110;
inline constexpr std::int32_t OPOS_E_FAILURE = 111;
inline constexpr std::int32_t OPOS_E_TIMEOUT = 112;
inline constexpr std::int32_t OPOS_E_BUSY = 113;
inline constexpr std::int32_t OPOS_E_EXTENDED = 114;

// Device states.
inline constexpr std::int32_t OPOS_S_CLOSED = 1;
inline constexpr std::int32_t OPOS_S_IDLE = 2;
inline constexpr std::int32_t OPOS_S_BUSY = 3;
inline constexpr std::int32_t OPOS_S_ERROR = 4;

// ClaimDevice timeouts.
inline constexpr std::int32_t OPOS_FOREVER = -1;

// Where an error event comes from.
inline constexpr std::int32_t OPOS_EL_OUTPUT = 1;
inline constexpr std::int32_t OPOS_EL_INPUT = 2;
inline constexpr std::int32_t OPOS_EL_INPUT_DATA = 3;

// What the handler of an error event asks the control to do next.
inline constexpr std::int32_t OPOS_ER_RETRY = 11;
inline constexpr std::int32_t OPOS_ER_CLEAR = 12;
inline constexpr std::int32_t OPOS_ER_CONTINUEINPUT = 13;

// ErrorReportingType.
inline constexpr std::int32_t MSR_ERT_CARD = 0;
inline constexpr std::int32_t MSR_ERT_TRACK = 1;

// Extended result codes of a failed read.
inline constexpr std::int32_t OPOS_EMSR_START = 201;
inline constexpr std::int32_t OPOS_EMSR_END = 202;
inline constexpr std::int32_t OPOS_EMSR_PARITY = 203;
inline constexpr std::int32_t OPOS_EMSR_LRC = 204;

} // namespace opos
