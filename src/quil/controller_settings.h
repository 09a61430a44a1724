// The controller settings commands that only the settings files use: the
// network address, gateway and subnet mask, the serial baud rate and parity,
// autosend and invalid data, the four input/output function assignments, the
// encoder settings read back in one piece, the output-count type, and six
// output settings (average selection, measurement type, analog monitor mode,
// monitor measuring range, monitor voltage range, reflector correction).
//
// Internal, not exported. Each is one command exchange in setting mode (one
// switch to it and one more try when the controller refuses the command in
// measurement mode), traced under the source file "communication". Out
// arguments are written only on success; the getters take them as given
// (their callers always supply them).
#pragma once

#include <cstddef>
#include <cstdint>

namespace quil {

// Room for a dotted address: "255.255.255.255" and its terminating zero.
inline constexpr std::size_t kDottedAddressSize = 16;

// The controller sends an address as twelve decimal digits, three per byte,
// most significant first ("192168000010"). Writes "192.168.0.10" into out
// (kDottedAddressSize bytes) and returns true; a field shorter than twelve
// characters, or a group of three that is not a number (readInteger), gives
// false and leaves out alone. Characters after the twelfth are not looked at.
bool dottedAddress(const char* field, char* out);

std::int32_t GetIPAddress(std::int32_t id, char* address);
std::int32_t GetDefaultGateway(std::int32_t id, char* address);
std::int32_t GetSubnetMask(std::int32_t id, char* address);

// Encoder: running mode and count direction ("SR,CJ"); input mode, minimum
// input time and point count ("SR,CI").
std::int32_t GetRunModeDetDir(std::int32_t id, std::int32_t* runMode, std::int32_t* direction);
std::int32_t GetInputModeMinTimePoint(std::int32_t id, std::int32_t* inputMode, std::int32_t* minTime,
                                      std::int32_t* points);

// Serial line: baud-rate index 0 to 4 and parity index 0 to 3
// (QUIL_ERROR_PARAMETER outside).
std::int32_t SetBaudRate(std::int32_t id, std::int32_t baud, std::int32_t parity);
std::int32_t GetBaudRate(std::int32_t id, std::int32_t* baud, std::int32_t* parity);
std::int32_t SetAutosendIndex(std::int32_t id, std::uint8_t value);
std::int32_t GetAutosendIndex(std::int32_t id, std::int32_t* value);
std::int32_t SetInvalidData(std::int32_t id, std::uint8_t value);
// Sends the value that *value holds on entry as the command's argument and
// replaces it with the controller's answer.
std::int32_t GetInvalidData(std::int32_t id, std::int32_t* value);

// The four input/output function assignments.
std::int32_t SetInOut_In(std::int32_t id, std::int32_t value);
std::int32_t GetInOut_In(std::int32_t id, std::int32_t* value);
std::int32_t SetInOut_InDQ(std::int32_t id, std::int32_t value);
std::int32_t GetInOut_InDQ(std::int32_t id, std::int32_t* value);
std::int32_t SetInOut_DataOut(std::int32_t id, std::int32_t value);
std::int32_t GetInOut_DataOut(std::int32_t id, std::int32_t* value);
std::int32_t SetInOut_MONIOut(std::int32_t id, std::int32_t value);
std::int32_t GetInOut_MONIOut(std::int32_t id, std::int32_t* value);

// Longest average selection text sent; a longer one is refused.
inline constexpr std::size_t kMaxSelectionText = 64;

// Output settings. OUT numbers outside the function's range give
// QUIL_ERROR_RANGE, values outside theirs QUIL_ERROR_VALUE, both before
// anything is sent.
//
// The average selection of OUT1 to OUT4, a text of "0"/"1" characters (OUT1
// first) sent as it is. A text longer than kMaxSelectionText or holding a
// control character (which would end the command line early) gives
// QUIL_ERROR_PARAMETER.
std::int32_t SetAVEOUTSelectState(std::int32_t id, std::int32_t out, const char* selection);
// Measurement type of OUT1 to OUT4, 0 to 2.
std::int32_t SetMeasurementTypeIndex(std::int32_t id, std::int32_t out, std::int32_t type);
// Analog monitor mode of OUT1 to OUT4, 0 to 2.
std::int32_t SetMoNiModeIndex(std::int32_t id, std::int32_t out, std::int32_t mode);
// Monitor measuring range of OUT1 to OUT8: lower below upper, each times 100
// (in whole hundredths, see wholeUnits) at most six digits.
std::int32_t SetMoNiMeasUpDown(std::int32_t id, std::int32_t out, double upper, double lower);
// Monitor voltage range of OUT1 to OUT8 in volts: lower below upper, each
// times 1000 (in whole millivolts) at most six digits.
std::int32_t SetMoNiVol(std::int32_t id, std::int32_t out, double lower, double upper);
// Reflector correction of OUT1 to OUT8: on/off flag and value, the value
// times 10000 (in whole units) at most six digits.
std::int32_t SetReflactor(std::int32_t id, std::int32_t out, std::uint8_t flag, double value);

// Output-count type: 1 when the controller reports a number other than 0
// (eight OUTs), else 0.
std::int32_t GetOUTNum(std::int32_t id, std::uint8_t* type);

}  // namespace quil
