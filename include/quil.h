/*
 * quil: control and read networked laser displacement controllers.
 *
 * One process drives up to 64 controllers, each named by a DeviceId from 0 to
 * 63. The QUIL_ device functions return a result code (QUIL_OK is 0) and write
 * their results through caller pointers, only on success. The raw link,
 * streaming and search functions return small negative codes of their own.
 */
#ifndef QUIL_H
#define QUIL_H

#include <stdint.h>

/* The cJSON API (cJSON_Parse, cJSON_Print, cJSON_CreateObject and the rest)
 * is reachable through the library: libquil.so depends on libcjson, so a
 * symbol lookup through libquil's handle finds it, and this header brings its
 * declarations wherever <cjson/cJSON.h> is installed. Link with -lquil
 * -lcjson (CMake users of the quil target get both). quil.dll carries cJSON
 * inside and exports its functions itself: link with -lquil only. */
#if defined(__has_include)
#if __has_include(<cjson/cJSON.h>)
#if defined(_WIN32) && !defined(QUIL_BUILDING) && !defined(CJSON_HIDE_SYMBOLS) && !defined(CJSON_EXPORT_SYMBOLS)
#define CJSON_IMPORT_SYMBOLS /* quil.dll exports them */
#endif
#include <cjson/cJSON.h>
#endif
#endif

/* The library's version; quil_version() tells the one actually loaded. */
#define QUIL_VERSION_MAJOR 1
#define QUIL_VERSION_MINOR 0
#define QUIL_VERSION_PATCH 5

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ linkage */
#if defined(_WIN32) && !defined(_WIN64)
#define QUIL_STDCALL __stdcall
#else
#define QUIL_STDCALL
#endif

/* On Windows the DLL's module-definition file names the exports (some only
 * under their decorated names, such as _QUIL_Refresh@4); an export attribute
 * would add names of its own. */
#if defined(_WIN32)
#if defined(QUIL_BUILDING)
#define QUIL_API
#else
#define QUIL_API __declspec(dllimport)
#endif
#else
#define QUIL_API __attribute__((visibility("default")))
#endif

/* ------------------------------------------------------------- result codes */
/* One list: name, value, meaning. It gives the constants below and the text
 * of quil_result_name() / quil_result_message(). */
#define QUIL_RESULT_CODES(X)                                                                    \
    X(QUIL_OK, 0, "success")                                                                    \
    X(QUIL_ERROR_DEVICE_E50, 4097, "the controller answered with error number 50")              \
    X(QUIL_ERROR_DEVICE_E60, 4098, "the controller answered with error number 60")              \
    X(QUIL_ERROR_TIMEOUT, 4099, "no reply from the controller within the wait")                 \
    X(QUIL_ERROR_MODE, 4101, "the command is not accepted in the controller's current mode")    \
    X(QUIL_ERROR_UNKNOWN, 4102, "unknown controller error, empty reply or unexpected value")    \
    X(QUIL_ERROR_PARAMETER, 4103, "an argument is invalid (also controller error 61)")          \
    X(QUIL_ERROR_DEVICE_E63, 4104, "the controller answered with error number 63")              \
    X(QUIL_ERROR_RANGE, 4105, "an index argument is out of range (also controller error 64)")   \
    X(QUIL_ERROR_DEVICE_E71, 4106, "the controller answered with error number 71")              \
    X(QUIL_ERROR_OPEN, 8192, "the device is not open, already open, or could not be connected") \
    X(QUIL_ERROR_SEND, 8194, "the command could not be sent")                                   \
    X(QUIL_ERROR_REPLY, 8195, "the reply could not be read or does not fit the command")        \
    X(QUIL_ERROR_DEVICE_E88, 8196, "the controller answered with error number 88")              \
    X(QUIL_ERROR_NO_DATA, 8197, "a stored-value read returned no values")                       \
    X(QUIL_ERROR_CLOSE, 8199, "closing the command connection failed")                          \
    X(QUIL_ERROR_OVERFLOW, 8200, "a reply did not end within its buffer")                       \
    X(QUIL_ERROR_DEVICE_ID, 8201, "the DeviceId is outside 0 to 63")                            \
    X(QUIL_ERROR_NO_LINK, 8202, "no open command link for this DeviceId")                       \
    X(QUIL_ERROR_IP_IN_USE, 8203, "another open device already uses this IP address")           \
    X(QUIL_ERROR_WAIT, 8204, "waiting for reply data failed")                                   \
    X(QUIL_ERROR_NULL_POINTER, 8205, "a required pointer is null")                              \
    X(QUIL_ERROR_FORMAT, 8206, "an OUT selection text in a reply is malformed")                 \
    X(QUIL_ERROR_VALUE, 8207, "a setting value is invalid (also controller errors 62, 68)")     \
    X(QUIL_ERROR_UNSUPPORTED, 8208, "the function is not available for this controller model")

#define QUIL_RESULT_ENUM_ENTRY(name, value, text) name = value,
enum QuilResult { QUIL_RESULT_CODES(QUIL_RESULT_ENUM_ENTRY) };
#undef QUIL_RESULT_ENUM_ENTRY

/* Name of a result code ("QUIL_ERROR_MODE" for 4101), or "QUIL_UNKNOWN_CODE". */
QUIL_API const char* quil_result_name(int32_t code);
/* One-line meaning of a result code, or "unknown result code". */
QUIL_API const char* quil_result_message(int32_t code);

/* The raw link, stream, JSON and search functions return small negative
 * codes of their own, and the same number means different things in
 * different families: name the family to look one up. QUIL_FAMILY_DEVICE is
 * the QUIL_ result-code table above. */
/* The raw link's codes (LinkConnect, DeviceInit, SwapData, quil_swap,
 * SwapRollData, LinkRollConnect). */
#define QUIL_LINK_CODES(X)                                                                                          \
    X(QUIL_LINK_OK, 0, "success")                                                                                   \
    X(QUIL_LINK_FAILED, -1, "out of range, connection failed, the line could not be sent or the first read failed") \
    X(QUIL_LINK_BAD_LINE, -2, "the line does not end in CR, the answer did not fit, or a later read failed")        \
    X(QUIL_LINK_EXISTS, -3, "the device number already has such a link")                                            \
    X(QUIL_LINK_TIMEOUT, -10, "no answer within the wait")                                                          \
    X(QUIL_LINK_NO_LINK, -100, "the device number has no such link")
/* The stream's codes (QUIL_StartRollPoint, RecvRollData, ClearRecv,
 * QUIL_GetRollStats), and the callback status of a failed roll connection. */
#define QUIL_STREAM_CODES(X)                                                                            \
    X(QUIL_STREAM_OK, 0, "success")                                                                     \
    X(QUIL_STREAM_CONNECTION_LOST, 1, "callback status: the roll connection failed, the run has ended") \
    X(QUIL_STREAM_FAILED, -1, "a link could not be opened, a switch failed, or the wait failed")        \
    X(QUIL_STREAM_TIMEOUT, -2, "nothing arrived within the wait, or the discard is done")               \
    X(QUIL_STREAM_CLOSED, -3, "the roll connection failed or was closed")                               \
    X(QUIL_STREAM_OVERSIZE, -5, "a packet's payload is larger than 25,165,824 bytes")                   \
    X(QUIL_STREAM_RUNNING, -987, "the device number already has a roll link (a run not yet stopped)")   \
    X(QUIL_STREAM_BAD_ARGUMENT, -997, "bad device number, address, callback or batch count")
/* The register exchange's codes; a code above 0 is the controller's own
 * error number (QUIL_JSON_CONTROLLER_ERROR). */
#define QUIL_JSON_CODES(X)                                                            \
    X(QUIL_JSON_OK, 0, "accepted")                                                    \
    X(QUIL_JSON_REFUSED, -1, "error reply to another message, or \"retState\" not 0") \
    X(QUIL_JSON_BAD_REPLY, -2, "the reply is not a JSON answer, or \"ret\" is not 0") \
    X(QUIL_JSON_SHORT_REPLY, -3, "the reply is shorter than 2 characters")            \
    X(QUIL_JSON_NO_REPLY, -10, "no link, send failure or no reply within 1200 ms")    \
    X(QUIL_JSON_NO_OBJECT, -20, "no \"regRead\"/\"regWrite\" in the reply")           \
    X(QUIL_JSON_NO_RET, -21, "no \"ret\" in \"regRead\"")                             \
    X(QUIL_JSON_NO_READ, -22, "no numeric \"Read\" in the reply")
/* The search's codes (SearchSensor, SearchOnline). */
#define QUIL_SEARCH_CODES(X)                                            \
    X(QUIL_SEARCH_DONE, 0, "search done")                               \
    X(QUIL_SEARCH_NO_SOCKETS, -1, "the socket library failed to start") \
    X(QUIL_SEARCH_NO_CALLBACK, -2, "no search callback set")            \
    X(QUIL_SEARCH_RUNNING, -100, "a search is already running")

#define QUIL_CODE_ENUM_ENTRY(name, value, text) name = value,
enum QuilLinkCode { QUIL_LINK_CODES(QUIL_CODE_ENUM_ENTRY) };
enum QuilStreamCode { QUIL_STREAM_CODES(QUIL_CODE_ENUM_ENTRY) };
enum QuilJsonCode { QUIL_JSON_CODES(QUIL_CODE_ENUM_ENTRY) };
enum QuilSearchCode { QUIL_SEARCH_CODES(QUIL_CODE_ENUM_ENTRY) };
#undef QUIL_CODE_ENUM_ENTRY

enum QuilCodeFamily {
    QUIL_FAMILY_DEVICE = 0, /* QUIL_ device functions: QUIL_OK, QUIL_ERROR_* */
    QUIL_FAMILY_LINK = 1,   /* LinkConnect, DeviceInit, SwapData, quil_swap, SwapRollData */
    QUIL_FAMILY_STREAM = 2, /* QUIL_StartRollPoint, RecvRollData, ClearRecv (LinkRollConnect: LINK) */
    QUIL_FAMILY_JSON = 3,   /* QUIL_GetDeviceRuningTime's register exchange */
    QUIL_FAMILY_SEARCH = 4  /* SearchSensor, SearchOnline */
};
/* Name ("QUIL_LINK_TIMEOUT" for -10 in QUIL_FAMILY_LINK) and one-line meaning
 * of a code of a family; "QUIL_UNKNOWN_CODE" / "unknown result code" for a
 * code the family does not return. A JSON code above 0 is the controller's
 * own error number ("QUIL_JSON_CONTROLLER_ERROR"). */
QUIL_API const char* quil_code_name(int32_t family, int32_t code);
QUIL_API const char* quil_code_message(int32_t family, int32_t code);

/* ------------------------------------------------------------ trace log
 * By default the first QUIL_OpenDeviceETHER of a process reads
 * "EnableLogout.ini" in the application's directory (creating it, logging
 * off, when missing), prints what it read on standard error, and writes the
 * log "QUILLinkFile.log" there when the INI says Enable=1. The environment
 * variable QUIL_LOG_DIR names another directory for both files, and
 * QUIL_QUIET=1 silences every console line of the library (also "connect
 * err", "RecvRollData err ret:" and the search's lines). The library never
 * writes on standard output: every console line goes to standard error. */
#define QUIL_LOG_FROM_INI 2  /* enable: read the INI in the log directory */
#define QUIL_LOG_QUIET 0x100 /* or'ed into enable: no console lines */
/* Chooses, before the first QUIL_OpenDeviceETHER of the process, where the
 * INI and the log live (dir; null or "" keeps QUIL_LOG_DIR or the
 * application's directory) and whether the INI is read at all: enable
 * QUIL_LOG_FROM_INI reads it (level is then not used), 0 or 1 switch the log
 * off or on at level (0 to 5: assert, error, warn, info, debug, verbose)
 * without reading or creating an INI. QUIL_OK; QUIL_ERROR_PARAMETER for an
 * enable or level outside these; QUIL_ERROR_OPEN once the log has been set
 * up (after the first open: nothing changes then). */
QUIL_API int32_t quil_log_configure(const char* dir, int32_t enable, int32_t level);

/* ------------------------------------------------------------ value status */
/* Status of a measured or stored value: the controller sends a special text
 * instead of a number when the value is out of range or invalid. */
enum QuilValueStatus {
    QUIL_VALUE_NORMAL = 0,        /* a number */
    QUIL_VALUE_PLUS_FFFFFFF = 1,  /* "+FFFFFFF": above the range */
    QUIL_VALUE_MINUS_FFFFFFF = 2, /* "-FFFFFFF": below the range */
    QUIL_VALUE_XXXXXXXX = 3       /* "XXXXXXXX": no valid value */
};

/* One measured value: OUT number 1 to 8, QuilValueStatus, value (0.0 unless
 * the status is QUIL_VALUE_NORMAL). */
typedef struct QuilCalcData {
    int32_t OutNo;
    int32_t status;
    float value;
} QuilCalcData;

/* ---------------------------------------------------------------- callbacks */
/* Storage watcher: called with the DeviceId when recording has stopped with
 * data stored. */
typedef void (*QuilStorageCallback)(int32_t DeviceId);

/* Stream batches: the four channel buffers, the run's channel mask (bit 0 =
 * channel 1), the number of values per channel in the buffers, the status
 * (0 batch or end of stream, 1 read failure, 16 stopped) and the DeviceId. */
typedef void (*QuilRollDataCallback)(int32_t* ch1, int32_t* ch2, int32_t* ch3, int32_t* ch4, int32_t mask,
                                     int32_t count, int32_t status, int32_t DeviceId);

/* Search answers: the value at offset 12, the 32-byte area of the reply, the
 * address text, the MAC text and the hexadecimal text of the value at offset
 * 4. Called once more with -1 and four null pointers at the end. */
typedef void (*QuilSearchCallback)(int32_t value, const char* area, const char* ip, const char* mac, const char* hex);

/* ------------------------------------------------------------ raw link
 * Plain C calling convention. Device numbers 64 and above are out of range.
 * Every record holds a receive buffer (GetDataBuff) and a scratch buffer
 * (GetTmpBuff) of 25,165,824 bytes each. */

/* Version of the library: 0x01000005 (major, minor in the top two bytes, patch below). */
QUIL_API int32_t VersionDll(void);
/* Version of the loaded library as text, "1.0.5". */
QUIL_API const char* quil_version(void);

/* Connects the raw command link (TCP 19062) of DeviceId to the controller at
 * the dotted address: 0 connected, -1 out of range or failure, -3 the device
 * number already has a command link. Waits at most about 5 seconds. */
QUIL_API int32_t LinkConnect(uint32_t DeviceId, const char* ip);
/* LinkConnect that prints "Cmd link err" and the system's error text on
 * standard error when it fails: 0 or -1. */
QUIL_API int32_t QUIL_EthernetOpen(uint32_t DeviceId, const char* ip);
/* Registers an already connected socket as the command link of DeviceId: 0,
 * -1 out of range, -3 a command link exists. The socket stays the caller's:
 * LinkDisconnect releases the record without closing it. */
QUIL_API int32_t DeviceInit(uint32_t DeviceId, int32_t socket);
/* Releases the command link of DeviceId (closing its socket if the link made
 * it). Always 0. */
QUIL_API int32_t LinkDisconnect(uint32_t DeviceId);
/* Receive buffer of the command link (the last reply line), or null. */
QUIL_API char* GetDataBuff(uint32_t DeviceId);
/* Number of valid bytes in the receive buffer, or -1 without a link. */
QUIL_API int32_t GetDataBuffLen(uint32_t DeviceId);
/* Scratch buffer of the command link, for building lines, or null. */
QUIL_API char* GetTmpBuff(uint32_t DeviceId);
/* Sends one line (it must end in "\r" or "\r\n") and reads the one-line
 * answer into the receive buffer, up to its first carriage return. When given,
 * out receives a copy of the answer (GetDataBuffLen bytes, no terminating
 * zero) and outLen its length. The whole answer line must arrive within
 * timeoutMs (0 or less means 10 seconds). Results: 0; -100 no link; -2 the line does not end in a
 * carriage return, or the answer did not fit the buffer, or a later read
 * failed; -1 the line could not be sent or the first read failed; -10 no
 * answer within the wait. */
QUIL_API int32_t SwapData(uint32_t DeviceId, const char* line, int32_t len, char* out, int32_t* outLen,
                          int32_t timeoutMs);
/* Note: SwapData has no capacity argument, so out must hold any answer the
 * controller may send: up to 25,165,824 bytes (a stored-value list of the
 * storage runs to megabytes). New code should use quil_swap. */
/* SwapData with a bounded copy-out: the answer is copied to out only when it
 * fits capacity bytes (no terminating zero is added), and its length goes to
 * outLength. Results as SwapData, and -2 (nothing written to out, outLength
 * still receives the answer's length) when the answer is longer than
 * capacity. out may be null when capacity is 0. */
QUIL_API int32_t quil_swap(uint32_t DeviceId, const char* line, int32_t length, char* out, int32_t capacity,
                           int32_t* outLength, int32_t timeoutMs);

/* ------------------------------------------------------------ device sessions
 * QUIL_ functions: DeviceId 0 to 63 first, a result code back (QUIL_OK or
 * QUIL_ERROR_*), results written through the pointers only on success.
 *
 * Replies and their commands: the controller's protocol has no request ids.
 * A reply belongs to a command by being the next line after it and by
 * repeating the command's two letters. Bytes that arrive between exchanges
 * are discarded before the next command, the tail of a reply that was cut at
 * its buffer is discarded up to its line end, and a line feed left over from
 * the previous reply is skipped. What remains inherent: a reply that arrives
 * after its command timed out, and only after the next command was sent, is
 * taken as that command's reply when the command letters match. An
 * application that needs certainty closes and reopens the device after a
 * time-out (QUIL_ERROR_TIMEOUT). */

/* Connects the controller at ip (its four address bytes, first byte = first
 * dotted component) as DeviceId, waiting at most timeout milliseconds for the
 * connection, and reads its model code. The first call of the process also
 * sets up the trace log. */
QUIL_API int32_t QUIL_STDCALL QUIL_OpenDeviceETHER(int32_t DeviceId, const uint8_t* ip, uint32_t timeout);
/* Stops the storage watcher, closes the connection and frees the device. */
QUIL_API int32_t QUIL_STDCALL QUIL_CloseDevice(int32_t DeviceId);
/* The controller's model code (0 to 39). */
QUIL_API int32_t QUIL_STDCALL QUIL_GetDeviceType(int32_t DeviceId, int32_t* type);

/* ------------------------------------------------------------ measured values */
/* One OUT (1 to 8). */
QUIL_API int32_t QUIL_STDCALL QUIL_GetCalcDataSingle(int32_t DeviceId, int32_t OutNo, QuilCalcData* data);
/* The OUTs selected by OutMask (bit 0 = OUT1 ... bit 3 = OUT4, 1 to 15): one
 * record per selected OUT, packed in ascending OUT order. */
QUIL_API int32_t QUIL_STDCALL QUIL_GetCalcDataMulti(int32_t DeviceId, int32_t OutMask, QuilCalcData* data);
/* OUT1 to OUT4 into data[0] to data[3]. */
QUIL_API int32_t QUIL_STDCALL QUIL_GetCalcDataALL(int32_t DeviceId, QuilCalcData* data);

/* ------------------------------------------------------------ control commands */
/* 0: measurement mode ("R0"), 1: setting mode ("Q0"). */
QUIL_API int32_t QUIL_STDCALL QUIL_SetMode(int32_t DeviceId, int32_t mode);
/* Timing input of one OUT (1 to 4), of the OUTs of a mask (1 to 15), or of all. */
QUIL_API int32_t QUIL_STDCALL QUIL_SetTimingSingle(int32_t DeviceId, int32_t OutNo, int32_t OnOff);
QUIL_API int32_t QUIL_STDCALL QUIL_SetTimingMulti(int32_t DeviceId, int32_t OutMask, int32_t OnOff);
QUIL_API int32_t QUIL_STDCALL QUIL_SetTimingSync(int32_t DeviceId, int32_t OnOff);
/* Zero setting on (OnOff != 0) or off, per OUT (1 to 4), per mask, or all. */
QUIL_API int32_t QUIL_STDCALL QUIL_SetZeroSingle(int32_t DeviceId, int32_t OutNo, int32_t OnOff);
QUIL_API int32_t QUIL_STDCALL QUIL_SetZeroMulti(int32_t DeviceId, int32_t OutMask, int32_t OnOff);
QUIL_API int32_t QUIL_STDCALL QUIL_SetZeroSync(int32_t DeviceId, int32_t OnOff);
/* Reset per OUT (1 to 4), per mask, or all. */
QUIL_API int32_t QUIL_STDCALL QUIL_SetResetSingle(int32_t DeviceId, int32_t OutNo);
QUIL_API int32_t QUIL_STDCALL QUIL_SetResetMulti(int32_t DeviceId, int32_t OutMask);
QUIL_API int32_t QUIL_STDCALL QUIL_SetResetSync(int32_t DeviceId);
/* Active program, 0 to 7. */
QUIL_API int32_t QUIL_STDCALL QUIL_SetProgramNo(int32_t DeviceId, int32_t ProgramNo);
QUIL_API int32_t QUIL_STDCALL QUIL_GetProgramNo(int32_t DeviceId, int32_t* ProgramNo);

/* ------------------------------------------------------------ data storage */
/* Recording into the controller's data storage: start ("AS"), stop ("AP"),
 * clear the stored data ("AQ"). */
QUIL_API int32_t QUIL_STDCALL QUIL_DataStorageStart(int32_t DeviceId);
QUIL_API int32_t QUIL_STDCALL QUIL_DataStorageStop(int32_t DeviceId);
QUIL_API int32_t QUIL_STDCALL QUIL_DataStorageInit(int32_t DeviceId);
/* Storage status: lsStorage is 0 when recording has stopped; outs receives
 * one number per OUT from OUT1 on (non-zero: the OUT holds stored data), as
 * many as the controller reports but never more than 8 (OUT1 to OUT8), so an
 * array of 8 always suffices. Entries past those reported are not written. */
QUIL_API int32_t QUIL_STDCALL QUIL_DataStorageGetStatus(int32_t DeviceId, int32_t* lsStorage, int32_t* outs);
/* Stored values of one OUT (1 to 8) into values, at most capacity of them
 * from values[0] on; NumReceived says how many were written (0 is a success).
 * A special value ("+FFFFFFF", "-FFFFFFF", "XXXXXXXX") is stored as -999.0.
 * An error reply gives its code and leaves NumReceived alone; a value text
 * longer than 15 characters gives QUIL_ERROR_REPLY. */
QUIL_API int32_t QUIL_STDCALL QUIL_DataStorageGetData(int32_t DeviceId, int32_t OutNo, int32_t capacity, float* values,
                                                      int32_t* NumReceived);
/* Stored values of one encoder channel (1 to 3), models 34 to 39 only
 * (QUIL_ERROR_UNSUPPORTED on others), as QUIL_DataStorageGetData; special
 * values are -999. No value at all gives QUIL_ERROR_NO_DATA. */
QUIL_API int32_t QUIL_STDCALL QUIL_GetEncoderStoreValue(int32_t DeviceId, int32_t channel, int32_t capacity,
                                                        int32_t* values, int32_t* NumReceived);
/* Storage watcher: registers callback for DeviceId and (re)starts the
 * device's one poll thread, which asks for the storage status about once a
 * millisecond and calls callback(DeviceId) on every pass in which recording
 * has stopped and an OUT holds data (clearing the storage ends that). The
 * thread ends when the controller does not answer (QUIL_ERROR_TIMEOUT), at
 * the next QUIL_SetOneDataStorage and at QUIL_CloseDevice. The callback runs
 * on the poll thread with no lock held and may call the device's functions,
 * except QUIL_CloseDevice and QUIL_SetOneDataStorage for the same device
 * (the latter is refused with QUIL_ERROR_PARAMETER there). A null callback
 * gives QUIL_ERROR_PARAMETER. */
QUIL_API int32_t QUIL_STDCALL QUIL_SetOneDataStorage(int32_t DeviceId, QuilStorageCallback callback);

/* ------------------------------------------------------------ head settings
 * Settings of sensor head HeadNo (1 to 4, QUIL_ERROR_RANGE outside), written
 * in setting mode: a controller in measurement mode is switched over and the
 * command sent once more. A value outside its range is refused, before
 * anything is sent, with the code named; a getter refuses a null pointer with
 * QUIL_ERROR_NULL_POINTER. Nothing is cached: every getter asks the
 * controller. The values belong to the controller's active program. */

/* ABLE (automatic light-intensity control) on (1) or off (0); others
 * QUIL_ERROR_PARAMETER. The getter writes 1 for any mode other than 0. */
QUIL_API int32_t QUIL_STDCALL QUIL_SetAbleMode(int32_t DeviceId, int32_t HeadNo, int32_t AbleMode);
QUIL_API int32_t QUIL_STDCALL QUIL_GetAbleMode(int32_t DeviceId, int32_t HeadNo, int32_t* AbleMode);
/* ABLE control range, Min and Max each 1 to 99 (QUIL_ERROR_PARAMETER). */
QUIL_API int32_t QUIL_STDCALL QUIL_SetAbleMinMax(int32_t DeviceId, int32_t HeadNo, int32_t Min, int32_t Max);
QUIL_API int32_t QUIL_STDCALL QUIL_GetAbleMinMax(int32_t DeviceId, int32_t HeadNo, int32_t* Min, int32_t* Max);
/* Measurement mode, 0 to 4 (QUIL_ERROR_PARAMETER). */
QUIL_API int32_t QUIL_STDCALL QUIL_SetMeasureMode(int32_t DeviceId, int32_t HeadNo, int32_t MeasureMode);
QUIL_API int32_t QUIL_STDCALL QUIL_GetMeasureMode(int32_t DeviceId, int32_t HeadNo, int32_t* MeasureMode);
/* Reference point of the measurement, 0 or 1 (QUIL_ERROR_PARAMETER). The
 * getter writes only 0 or 1: another number read leaves BasicPoint as it was
 * and still returns QUIL_OK. */
QUIL_API int32_t QUIL_STDCALL QUIL_SetBasicPoint(int32_t DeviceId, int32_t HeadNo, int32_t BasicPoint);
QUIL_API int32_t QUIL_STDCALL QUIL_GetBasicPoint(int32_t DeviceId, int32_t HeadNo, int32_t* BasicPoint);
/* Alarm count (consecutive invalid values before the alarm) and recovery
 * count, each 0 to 9999 (QUIL_ERROR_VALUE). The two travel in one command:
 * each setter first reads the other number (a call of its own; its failure
 * is the result and nothing is written), then writes both. */
QUIL_API int32_t QUIL_STDCALL QUIL_SetNumAlarm(int32_t DeviceId, int32_t HeadNo, int32_t AlarmNum);
QUIL_API int32_t QUIL_STDCALL QUIL_GetNumAlarm(int32_t DeviceId, int32_t HeadNo, int32_t* AlarmNum);
QUIL_API int32_t QUIL_STDCALL QUIL_SetNumRecovery(int32_t DeviceId, int32_t HeadNo, int32_t RecoveryNum);
QUIL_API int32_t QUIL_STDCALL QUIL_GetNumRecovery(int32_t DeviceId, int32_t HeadNo, int32_t* RecoveryNum);
/* Alarm level, 0 to 9 (QUIL_ERROR_VALUE). */
QUIL_API int32_t QUIL_STDCALL QUIL_SetAlarmLevel(int32_t DeviceId, int32_t HeadNo, int32_t AlarmLevel);
QUIL_API int32_t QUIL_STDCALL QUIL_GetAlarmLevel(int32_t DeviceId, int32_t HeadNo, int32_t* AlarmLevel);
/* ABLE calibration: start on one head, stop or cancel (every head). */
QUIL_API int32_t QUIL_STDCALL QUIL_AbleStart(int32_t DeviceId, int32_t HeadNo);
QUIL_API int32_t QUIL_STDCALL QUIL_AbleStop(int32_t DeviceId);
QUIL_API int32_t QUIL_STDCALL QUIL_AbleCancel(int32_t DeviceId);
/* Reflection mode, 0 or 1 (QUIL_ERROR_VALUE). */
QUIL_API int32_t QUIL_STDCALL QUIL_SetReflectionMode(int32_t DeviceId, int32_t HeadNo, int32_t ReflectionMode);
QUIL_API int32_t QUIL_STDCALL QUIL_GetReflectionMode(int32_t DeviceId, int32_t HeadNo, int32_t* ReflectionMode);
/* Mask: on or off (OnOff, sent as it is) and its two positions P1 and P2 in
 * hundredths of the length unit (1234 is 12.34), each -999999 to 999999
 * (QUIL_ERROR_VALUE). The getter truncates toward zero after a single
 * precision multiplication, so a position may read back one hundredth lower. */
QUIL_API int32_t QUIL_STDCALL QUIL_SetMask(int32_t DeviceId, int32_t HeadNo, int32_t OnOff, int32_t P1, int32_t P2);
QUIL_API int32_t QUIL_STDCALL QUIL_GetMask(int32_t DeviceId, int32_t HeadNo, int32_t* OnOff, int32_t* P1, int32_t* P2);
/* Median filter, 0 to 3 (QUIL_ERROR_VALUE). */
QUIL_API int32_t QUIL_STDCALL QUIL_SetMedian(int32_t DeviceId, int32_t HeadNo, int32_t Median);
QUIL_API int32_t QUIL_STDCALL QUIL_GetMedian(int32_t DeviceId, int32_t HeadNo, int32_t* Median);
/* Laser control group, 0 or 1 (QUIL_ERROR_VALUE). */
QUIL_API int32_t QUIL_STDCALL QUIL_SetLaserCtrlGroup(int32_t DeviceId, int32_t HeadNo, int32_t LaserCtrlGroup);
QUIL_API int32_t QUIL_STDCALL QUIL_GetLaserCtrlGroup(int32_t DeviceId, int32_t HeadNo, int32_t* LaserCtrlGroup);
/* Mutual interference prevention group, 0 to 2 (QUIL_ERROR_VALUE). */
QUIL_API int32_t QUIL_STDCALL QUIL_SetMutualInterferencePreventionGroup(int32_t DeviceId, int32_t HeadNo,
                                                                        int32_t Group);
QUIL_API int32_t QUIL_STDCALL QUIL_GetMutualInterferencePreventionGroup(int32_t DeviceId, int32_t HeadNo,
                                                                        int32_t* Group);

/* ------------------------------------------------------------ output settings
 * Settings of OUT OutNo: OUT1 to OUT8, or OUT1 to OUT4 where said
 * (QUIL_ERROR_RANGE outside). Setting mode, range checks, null pointers and
 * the active program as for the head settings.
 *
 * Lengths (tolerance limits, scaling points, offset) are integers in the
 * resolution of the OUT's display unit: units 0 and 5 in hundredths, 1 and 6
 * in thousandths, 2 in 1/10000, 3 in 1/100000, 4 in tenths (another unit:
 * whole units). They are sent as they are, at most six digits each
 * (-999999 to 999999, QUIL_ERROR_VALUE beyond). The getters read the display
 * unit with a second call (its failure is the result, nothing is written) and
 * multiply in single precision, truncating toward zero. */

/* Tolerance of OUT1 to OUT4: LowerLimit <= UpperLimit, and the hysteresis
 * (at most six digits) below UpperLimit - LowerLimit; QUIL_ERROR_VALUE
 * otherwise. */
QUIL_API int32_t QUIL_STDCALL QUIL_SetTolerance(int32_t DeviceId, int32_t OutNo, int32_t UpperLimit, int32_t LowerLimit,
                                                int32_t Hystersys);
QUIL_API int32_t QUIL_STDCALL QUIL_GetTolerance(int32_t DeviceId, int32_t OutNo, int32_t* UpperLimit,
                                                int32_t* LowerLimit, int32_t* Hystersys);
/* Calculation method: 0 a head (Number 1 to 4), 1 an OUT (Number 1 to 8),
 * 2 to 7 the calculations between OUTs (Number unused). Method outside 0 to
 * 7: QUIL_ERROR_RANGE. The getter reads the number as one digit and leaves
 * Number alone for methods 2 to 7. */
QUIL_API int32_t QUIL_STDCALL QUIL_SetCalcMethod(int32_t DeviceId, int32_t OutNo, int32_t Method, int32_t Number);
QUIL_API int32_t QUIL_STDCALL QUIL_GetCalcMethod(int32_t DeviceId, int32_t OutNo, int32_t* Method, int32_t* Number);
/* Calculation target of OUT1 to OUT4, 0 to 9 (QUIL_ERROR_VALUE). */
QUIL_API int32_t QUIL_STDCALL QUIL_SetCalcTarget(int32_t DeviceId, int32_t OutNo, int32_t CalcTarget);
QUIL_API int32_t QUIL_STDCALL QUIL_GetCalcTarget(int32_t DeviceId, int32_t OutNo, int32_t* CalcTarget);
/* The two OUTs of an addition or subtraction, each 1 to 4 (QUIL_ERROR_VALUE). */
QUIL_API int32_t QUIL_STDCALL QUIL_SetOutAddSub(int32_t DeviceId, int32_t OutNo, int32_t AddSub1, int32_t AddSub2);
QUIL_API int32_t QUIL_STDCALL QUIL_GetOutAddSub(int32_t DeviceId, int32_t OutNo, int32_t* AddSub1, int32_t* AddSub2);
/* OUTs taking part in the operation of OUT1 to OUT4: a mask of OUT1 to OUT4
 * (bit 0 = OUT1), 1 to 15 (QUIL_ERROR_VALUE). The getter gives
 * QUIL_ERROR_FORMAT for a selection text that is not four characters. */
QUIL_API int32_t QUIL_STDCALL QUIL_SetOutOperation(int32_t DeviceId, int32_t OutNo, int32_t Mask);
QUIL_API int32_t QUIL_STDCALL QUIL_GetOutOperation(int32_t DeviceId, int32_t OutNo, int32_t* Mask);
/* Scaling by two points (input I1 to output O1, I2 to O2), lengths as above.
 * I1 equal to I2, or |O2 - O1| / |I2 - I1| (integer quotient) above 2:
 * QUIL_ERROR_PARAMETER. */
QUIL_API int32_t QUIL_STDCALL QUIL_SetScaling(int32_t DeviceId, int32_t OutNo, int32_t I1, int32_t O1, int32_t I2,
                                              int32_t O2);
QUIL_API int32_t QUIL_STDCALL QUIL_GetScaling(int32_t DeviceId, int32_t OutNo, int32_t* I1, int32_t* O1, int32_t* I2,
                                              int32_t* O2);
/* Filter of OUT1 to OUT4: FilterMode 0 (averaging) only, FilterPara 0 to 9
 * (QUIL_ERROR_VALUE). */
QUIL_API int32_t QUIL_STDCALL QUIL_SetFilter(int32_t DeviceId, int32_t OutNo, int32_t FilterMode, int32_t FilterPara);
QUIL_API int32_t QUIL_STDCALL QUIL_GetFilter(int32_t DeviceId, int32_t OutNo, int32_t* FilterMode, int32_t* FilterPara);
/* Trigger mode of OUT1 to OUT4, 0 or 1 (QUIL_ERROR_VALUE). */
QUIL_API int32_t QUIL_STDCALL QUIL_SetTriggerMode(int32_t DeviceId, int32_t OutNo, int32_t TriggerMode);
QUIL_API int32_t QUIL_STDCALL QUIL_GetTriggerMode(int32_t DeviceId, int32_t OutNo, int32_t* TriggerMode);
/* Offset, a length as above. */
QUIL_API int32_t QUIL_STDCALL QUIL_SetOffset(int32_t DeviceId, int32_t OutNo, int32_t Offset);
QUIL_API int32_t QUIL_STDCALL QUIL_GetOffset(int32_t DeviceId, int32_t OutNo, int32_t* Offset);
/* Calculation mode of OUT1 to OUT4, 0 to 4 (QUIL_ERROR_VALUE). */
QUIL_API int32_t QUIL_STDCALL QUIL_SetCalcMode(int32_t DeviceId, int32_t OutNo, int32_t CalcMode);
QUIL_API int32_t QUIL_STDCALL QUIL_GetCalcMode(int32_t DeviceId, int32_t OutNo, int32_t* CalcMode);
/* Display unit, 0 to 6 (QUIL_ERROR_VALUE): the resolution of the lengths above. */
QUIL_API int32_t QUIL_STDCALL QUIL_SetDisplayUnit(int32_t DeviceId, int32_t OutNo, int32_t DisplayUnit);
QUIL_API int32_t QUIL_STDCALL QUIL_GetDisplayUnit(int32_t DeviceId, int32_t OutNo, int32_t* DisplayUnit);
/* Synchronization on or off (sent as it is); set for OUT1 to OUT8, read back
 * for OUT1 to OUT4 only. */
QUIL_API int32_t QUIL_STDCALL QUIL_SetSynchronization(int32_t DeviceId, int32_t OutNo, int32_t OnOff);
QUIL_API int32_t QUIL_STDCALL QUIL_GetSynchronization(int32_t DeviceId, int32_t OutNo, int32_t* OnOff);
/* Whether the data storage records this OUT (sent as it is). */
QUIL_API int32_t QUIL_STDCALL QUIL_SetStorageTarget(int32_t DeviceId, int32_t OutNo, int32_t OnOff);
QUIL_API int32_t QUIL_STDCALL QUIL_GetStorageTarget(int32_t DeviceId, int32_t OutNo, int32_t* OnOff);

/* ------------------------------------------------------------ registers and device information */
/* Running time of the controller (head 0) or of a sensor head (1 to 4; 1 to
 * 2 on the two-head models 34 to 39), read from a controller register. Returns
 * the register exchange's own code: 0, the controller's error number (1 to
 * 99), or -1, -2, -3, -10, -20, -21, -22 (see "JSON exchange codes" below);
 * and QUIL_ERROR_DEVICE_ID, QUIL_ERROR_OPEN, QUIL_ERROR_PARAMETER (head) or
 * QUIL_ERROR_NULL_POINTER from its checks; nothing else. time (seconds as the
 * controller counts them) is written whenever the reply carries a numeric
 * value. */
QUIL_API int32_t QUIL_STDCALL QUIL_GetDeviceRuningTime(int32_t DeviceId, int32_t head, uint32_t* time);
/* Emission spot type of the sensor (0 or 1), on the models that have one (12,
 * 13, 30, 31, 32); QUIL_ERROR_UNSUPPORTED on others. Exported as
 * _QUIL_GetCameraSpotType@8 on 32-bit Windows. */
QUIL_API int32_t QUIL_STDCALL QUIL_GetCameraSpotType(int32_t DeviceId, uint32_t* type);
/* Sets the command socket's receive buffer again (30 MiB). Always 0. Exported
 * as _QUIL_Refresh@4 on 32-bit Windows. */
QUIL_API int32_t QUIL_STDCALL QUIL_Refresh(int32_t DeviceId);
/* JSON exchange codes: 0 accepted; 1 to 99 the controller's error number
 * ("ER,#J,nn"); -1 error reply with another echo or without an error number
 * 01 to 99 in its place, or "retState" not 0; -2 the
 * reply is not "#J", its body is not JSON or lacks "retState", or "ret" is
 * not 0; -3 reply shorter than 2 characters; -10 no link, send failure or no
 * reply within 1200 ms; -20 no "regRead"/"regWrite" (or, for a write, no
 * "ret"); -21 no "ret" in "regRead"; -22 no "Read", or one that is not a
 * number. */

/* ------------------------------------------------------------ common settings
 * Controller-wide settings, written with "SW" and read with "SR" in the
 * controller's setting mode (a command refused in measurement mode is sent
 * again after the switch to setting mode). Nothing is cached: every getter
 * asks the controller. Getters give QUIL_ERROR_NULL_POINTER for a null
 * output; a reply with other fields than expected gives QUIL_ERROR_REPLY. */
/* Sampling cycle: 30 to 37 (sent as the controller's codes 0 to 7) or 10 to
 * 15 (sent as 0 to 5); any other number gives QUIL_ERROR_VALUE. */
QUIL_API int32_t QUIL_STDCALL QUIL_SetSamplingCycle(int32_t DeviceId, int32_t SamplingCycle);
/* Sampling cycle: on models 34 to 39 the controller's code plus 30 (30 to 37,
 * accepted again by QUIL_SetSamplingCycle), on models 0 to 11 the
 * controller's code itself. The model code is asked for in an exchange of its
 * own: its failure code is returned, a model outside those gives
 * QUIL_ERROR_UNKNOWN, and SamplingCycle is not written then. */
QUIL_API int32_t QUIL_STDCALL QUIL_GetSamplingCycle(int32_t DeviceId, int32_t* SamplingCycle);
/* Mutual interference prevention: 0 to 2 (else QUIL_ERROR_VALUE). */
QUIL_API int32_t QUIL_STDCALL QUIL_SetMutualInterferencePrevention(int32_t DeviceId, int32_t OnOff);
QUIL_API int32_t QUIL_STDCALL QUIL_GetMutualInterferencePrevention(int32_t DeviceId, int32_t* OnOff);
/* Strobe time index: 0 to 3 (else QUIL_ERROR_VALUE). */
QUIL_API int32_t QUIL_STDCALL QUIL_SetStrobeTime(int32_t DeviceId, int32_t StrobeTime);
QUIL_API int32_t QUIL_STDCALL QUIL_GetStrobeTime(int32_t DeviceId, int32_t* StrobeTime);
/* Data storage: number of points to store, 0 to 1200000 (else
 * QUIL_ERROR_PARAMETER), and storage cycle index, 0 to 10 (else
 * QUIL_ERROR_VALUE). */
QUIL_API int32_t QUIL_STDCALL QUIL_SetDataStorage(int32_t DeviceId, int32_t NumStorage, int32_t StorageCycle);
QUIL_API int32_t QUIL_STDCALL QUIL_GetDataStorage(int32_t DeviceId, int32_t* NumStorage, int32_t* StorageCycle);
/* Running mode and count direction of the encoder input, sent as given. Not
 * on models 34 to 39 (QUIL_ERROR_UNSUPPORTED): they set each of their encoder
 * channels with QUIL_SetEncoderParameters. */
QUIL_API int32_t QUIL_STDCALL QUIL_SetRunningMode(int32_t DeviceId, int32_t Runningmode, int32_t CatchDirection);
/* Encoder input mode and minimum input time (nanoseconds, at most ten
 * digits), sent as given, and trigger interval in points, 1 to 10000 (else
 * QUIL_ERROR_PARAMETER). Not on models 34 to 39 (QUIL_ERROR_UNSUPPORTED,
 * tested first). */
QUIL_API int32_t QUIL_STDCALL QUIL_SetEncoderMode(int32_t DeviceId, int32_t Inputmode, int32_t InputTime,
                                                  int32_t TrigInterval);
/* Number of sensor heads in use, and of OUTs in use. */
QUIL_API int32_t QUIL_STDCALL QUIL_GetNumOfUsedHeads(int32_t DeviceId, int32_t* number);
QUIL_API int32_t QUIL_STDCALL QUIL_GetNumOfUsedOut(int32_t DeviceId, int32_t* number);

/* ------------------------------------------------------------ encoder and I/O
 * The three encoder inputs (channels 1 to 3), the analog outputs and the four
 * digital outputs of models 34 to 39. On any other model every function gives
 * QUIL_ERROR_UNSUPPORTED before its arguments are looked at; a bad argument or
 * a null pointer gives QUIL_ERROR_PARAMETER. A value the controller sends as
 * a special text ("+FFFFFFF", "-FFFFFFF", "XXXXXXXX") reads as 0. A command
 * refused in measurement mode is sent again after the switch to setting
 * mode, except where said. */
/* Current count of an encoder channel. A refusal is returned as it is (no
 * mode switch). */
QUIL_API int32_t QUIL_STDCALL QUIL_GetEncoderCurrentValue(int32_t DeviceId, int32_t channel, int32_t* value);
/* Sets the count of an encoder channel to 0. A refusal is returned as it is. */
QUIL_API int32_t QUIL_STDCALL QUIL_EncoderReset(int32_t DeviceId, int32_t channel);
/* Selected encoder number, 1 to 3. */
QUIL_API int32_t QUIL_STDCALL QUIL_SetEncoderNumber(int32_t DeviceId, int32_t number);
QUIL_API int32_t QUIL_STDCALL QUIL_GetEncoderNumber(int32_t DeviceId, int32_t* number);
/* Encoder parameters, written to all three channels alike (channel, 1 to 3,
 * is checked and traced): InputMode 0 to 3, InputTime (nanoseconds, at most
 * ten digits, not checked), interval 1 to 10000, OperatingMode 0 to 2,
 * DetectionDirection 0 to 2. First the input settings go to channels 1, 2 and
 * 3 in turn under one device lock, then the operating mode and direction
 * likewise. Within a group a failure does not stop the later channels and
 * the group's result is channel 3's: a failed group ends the call with that
 * result. */
QUIL_API int32_t QUIL_STDCALL QUIL_SetEncoderParameters(int32_t DeviceId, int32_t channel, int32_t InputMode,
                                                        int32_t InputTime, int32_t interval, int32_t OperatingMode,
                                                        int32_t DetectionDirection);
/* Encoder parameters of one channel, read in two exchanges: when the second
 * fails, InputMode, InputTime and interval have been written already. */
QUIL_API int32_t QUIL_STDCALL QUIL_GetEncoderParameters(int32_t DeviceId, int32_t channel, int32_t* InputMode,
                                                        int32_t* InputTime, int32_t* interval, int32_t* OperatingMode,
                                                        int32_t* DetectionDirection);
/* Analog output channel, 0 to 3, of an encoder channel. */
QUIL_API int32_t QUIL_STDCALL QUIL_SetAnalogOutput(int32_t DeviceId, int32_t channel, int32_t OutputChannel);
QUIL_API int32_t QUIL_STDCALL QUIL_GetAnalogOutputChannel(int32_t DeviceId, int32_t channel, int32_t* OutputChannel);
/* Level, 0 to 4, of digital output OutNo, 1 to 4. The read returns a refusal
 * as it is (no mode switch). */
QUIL_API int32_t QUIL_STDCALL QUIL_SetIODigitalOutput(int32_t DeviceId, int32_t OutNo, int32_t Level);
QUIL_API int32_t QUIL_STDCALL QUIL_GetIOOutputChannel(int32_t DeviceId, int32_t OutNo, int32_t* Level);

/* ------------------------------------------------------------ data stream
 * Plain C calling convention. A run streams blocks of 32-bit values of up to
 * four channels over the roll link (TCP 12525) into four per-device channel
 * buffers of 2,000,000 int32_t values each (little-endian values as the
 * controller sends them), allocated at the first roll-link open of the device
 * number and kept for the life of the process. The callback runs on the
 * stream's receive thread; the buffers are stable during the call and are
 * overwritten after it returns. Callback status: 0 a batch is complete (count
 * = values per channel now in the buffers) or, with mask 0 and count 0, the
 * stream ended; 1 the roll connection failed (the controller closed or reset
 * it, or the wait failed): the run has ended; 16 the run was stopped. A run
 * that ended by itself keeps its links until QUIL_StopRollPoint. */

/* Starts a run: closes the device number's raw links, opens the command link
 * and the roll link to ip, restarts the controller's batch streaming and
 * starts the receive thread. batchCount (1 to 1,200,000): the callback
 * comes after the packet that brings the values per channel to at least
 * batchCount, with all the values collected (whole packets, so the count may
 * be larger). 0; -997 bad argument; -987 a roll link exists (also after a
 * run ended by itself, until QUIL_StopRollPoint); -1 or the failed open's
 * code. Note: this closes a command connection that QUIL_OpenDeviceETHER made
 * for the same number; that device's calls then fail with QUIL_ERROR_REPLY
 * until it is closed and opened again. */
QUIL_API int32_t QUIL_StartRollPoint(uint32_t DeviceId, const char* ip, QuilRollDataCallback callback,
                                     uint32_t batchCount);
/* Stops the run (callback with status 16) and closes both links. 0; -997 for
 * DeviceId 64 and above. The receive thread ends within about one second plus
 * the callback's time, whatever the stream brings; the two "StartRoll" false
 * messages then wait up to 1200 ms each for the controller's answer. */
QUIL_API int32_t QUIL_StopRollPoint(uint32_t DeviceId);
/* Counters of the current or last run of a device number, so that loss is
 * visible: the receive thread finds packet boundaries by itself, and skips
 * what is not a well-framed packet (a header with wrong marker bytes or an
 * oversize one, a packet the controller cut short, the middle of a packet
 * the run started in). No value is ever taken from skipped bytes. */
typedef struct QuilRollStats {
    uint64_t packets;          /* packets unpacked into the channel buffers */
    uint64_t values[4];        /* values unpacked per channel, channel 1 first */
    uint64_t bytesDiscarded;   /* bytes skipped while finding the next packet */
    uint64_t badHeaders;       /* headers whose marker bytes were wrong */
    uint64_t oversizePackets;  /* headers with a payload over 25,165,824 bytes */
    uint64_t misframedPackets; /* packets not followed by a header: dropped */
    uint64_t overfillDropped;  /* packets that would overfill the channel buffers */
    uint64_t callbacks;        /* callbacks made */
} QuilRollStats;
/* Copies the counters of the current or last run into stats: 0; -1 when the
 * device number has had no run (or is 64 and above, or stats is null). */
QUIL_API int32_t QUIL_GetRollStats(uint32_t DeviceId, QuilRollStats* stats);
/* The raw roll link, as LinkConnect / LinkDisconnect / SwapData / the buffer
 * accessors are for the command link. */
QUIL_API int32_t LinkRollConnect(uint32_t DeviceId, const char* ip);
QUIL_API int32_t RollLinkDisconnect(uint32_t DeviceId);
QUIL_API int32_t SwapRollData(uint32_t DeviceId, const char* line, int32_t len, char* out, int32_t* outLen,
                              int32_t timeoutMs);
/* Reads one stream packet (16-byte header and payload) into the roll link's
 * receive buffer: 0; -1 no roll link or the wait failed; -2 nothing within
 * timeoutMs (or the payload stopped arriving); -3 receive failure or closed;
 * -5 payload larger than 25,165,824 bytes. */
QUIL_API int32_t RecvRollData(uint32_t DeviceId, int32_t timeoutMs);
/* Discards what the roll link had received when it was called (and nothing
 * that arrives later, so it returns also while the controller streams): -2
 * when that was done, the failed read's result, or -1 without a roll link. */
QUIL_API int32_t ClearRecv(uint32_t DeviceId);
/* The roll link's socket, or -1. */
QUIL_API int32_t GetRollFd(uint32_t DeviceId);
QUIL_API char* GetRollDataBuff(uint32_t DeviceId);
QUIL_API int32_t GetRollDataBuffLen(uint32_t DeviceId);
QUIL_API char* GetRollTmpBuff(uint32_t DeviceId);

/* ------------------------------------------------------------ search
 * Finds controllers on every local network: a request is broadcast to UDP
 * port 3778 from each adapter, and the answers arriving on port 3778 are
 * handed to the search callback on a receiving thread. Plain C calling
 * convention. */

/* Sets the search callback; it stays set until replaced. */
QUIL_API void SetSearchOnlineCallFunc(QuilSearchCallback callback);
/* Searches and returns when the listening has ended: one second without any
 * datagram (the callback then gets -1 and four null pointers), or 200
 * datagrams received (no final call). 0 search done; -100 a search is already
 * running; -2 no callback set; -1 the socket library failed to start. */
QUIL_API int32_t SearchSensor(void);
/* SetSearchOnlineCallFunc(callback), then SearchSensor(). */
QUIL_API int32_t SearchOnline(QuilSearchCallback callback);

/* ------------------------------------------------------------ settings files
 * A controller's whole configuration in one XML file (UTF-8): the
 * controller-wide serial, autosend, invalid-data, encoder and input/output
 * settings (and, for reference only, its network address), then for each of
 * the 8 programs the settings of the 4 heads, the 8 outputs and those common
 * to the program. The path is narrow text passed to the file system as it
 * is. Both functions are a sequence of exchanges, each under the device's
 * lock; other threads' commands for the same controller can come between
 * them. Exported as _QUIL_DeriveFormula@8 and _QUIL_SetFormula@8 on 32-bit
 * Windows. */

/* Saves the controller's configuration into the file at path: the document
 * is written into a new file beside the file that path names (through
 * symbolic links, which stay links) and put in its place only once complete,
 * with the old file's permission bits, so an existing file is replaced whole
 * or, on failure, kept as it was. (Where its folder takes no new file but the
 * file is writable, the file is rewritten in place.) Lengths are written as
 * exact decimals ("18.47"). A value the controller does not report (a read
 * it refuses or does not answer in time, a setting without a command that
 * reads it) is written without value and left alone by a load. The program
 * active before the save is selected again. A close of the device during the
 * save, also followed by an open of the same DeviceId, fails it with
 * QUIL_ERROR_OPEN. QUIL_ERROR_DEVICE_ID, QUIL_ERROR_OPEN;
 * QUIL_ERROR_NULL_POINTER for a null path; QUIL_ERROR_PARAMETER when the
 * file cannot be written; a failure of the link (QUIL_ERROR_TIMEOUT,
 * QUIL_ERROR_SEND, QUIL_ERROR_REPLY, QUIL_ERROR_OVERFLOW, QUIL_ERROR_WAIT),
 * or the code with which the controller refused a program selection, ends
 * the save and writes no file. */
QUIL_API int32_t QUIL_STDCALL QUIL_DeriveFormula(int32_t DeviceId, const char* path);
/* Loads the file at path into the controller: each setting the file holds
 * is written with its setter, program by program, and the program active
 * before the load is selected again. Numbers are read whole: an integer is
 * optional blanks, a sign and decimal digits within its setting's range, a
 * length a plain decimal number ("0.29" is 29 hundredths); an element with
 * anything else is skipped, and a program whose number is none is skipped
 * whole. A value the controller refuses leaves that setting as it was, and
 * the load goes on; the blocks of a program that cannot be selected are
 * skipped. A failure of the link (QUIL_ERROR_TIMEOUT, QUIL_ERROR_SEND,
 * QUIL_ERROR_REPLY, QUIL_ERROR_OVERFLOW, QUIL_ERROR_WAIT, QUIL_ERROR_NO_LINK)
 * or a close of the device ends the load at once with that code (or
 * QUIL_ERROR_OPEN), nothing more sent. Prints the file's XML declaration
 * (printable characters, at most 64 of each text) on standard error.
 * QUIL_OK also when values were refused; QUIL_ERROR_DEVICE_ID,
 * QUIL_ERROR_OPEN; QUIL_ERROR_NULL_POINTER for a null path;
 * QUIL_ERROR_PARAMETER, with nothing sent, for a file that cannot be read as
 * an XML document or is no settings file's size or shape (over 16 MiB,
 * elements nested over 32 deep, over 256 attributes on one element, an
 * attribute value over 4 KiB). */
QUIL_API int32_t QUIL_STDCALL QUIL_SetFormula(int32_t DeviceId, const char* path);

/* What a settings load did: the settings written, those the controller (or
 * the setter's own checks) refused, and the names of the first refused ones
 * ("OUT05/MeasurementTypeIndex, ..."), cut to fit. */
typedef struct QuilLoadReport {
    int32_t applied;
    int32_t refused;
    char refusedNames[256];
} QuilLoadReport;
/* QUIL_SetFormula, filling report (which may be null) when it returns
 * QUIL_OK. */
QUIL_API int32_t quil_load_settings(int32_t DeviceId, const char* path, QuilLoadReport* report);

/* ---------------------------------------------------------------- settings compared */
/* The controller's settings as the document QUIL_DeriveFormula writes, read
 * the same way but kept in memory: on QUIL_OK *text is a zero-terminated
 * text that the caller releases with quil_free. */
QUIL_API int32_t quil_settings_text(int32_t DeviceId, char** text);
/* Releases what the library allocated for the caller. */
QUIL_API void quil_free(void* p);

/* One setting in which two settings documents differ. program: 0 to 7, or -1
 * outside the programs. block: "environment" (controller-wide), "head 1" to
 * "head 4", "OUT 1" to "OUT 8", "common", "program" (a program's own
 * elements) or "file" (the document's version and save time). setting: the
 * element's path below its block ("SyncSettingOUTSelectState/OUT03"; a
 * repeated element gets "#2", ...). a, b: the value in each document, "" for
 * an element without value, null where that document lacks the setting. The
 * texts are valid during the callback. */
typedef struct QuilSettingsDifference {
    int32_t program;
    const char* block;
    const char* setting;
    const char* a;
    const char* b;
} QuilSettingsDifference;
typedef void (*QuilSettingsDifferenceCallback)(const QuilSettingsDifference* difference, void* user);
/* Also the document's own data: its version, its save time and the network
 * addresses, which differ between any two saves or controllers. */
#define QUIL_DIFF_ALL 1
/* Compares two settings documents given as their texts (a file's content, or
 * quil_settings_text's): callback (which may be null) once per difference, in
 * a's order and then b's for what only b holds; *count the number of
 * differences (0: the same settings). QUIL_ERROR_PARAMETER for a text that is
 * no XML document or goes beyond the limits of a settings file, or unknown
 * flags. */
QUIL_API int32_t quil_settings_diff(const char* a, const char* b, int32_t flags,
                                    QuilSettingsDifferenceCallback callback, void* user, int32_t* count);

#ifdef __cplusplus
}
#endif

#endif /* QUIL_H */
