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

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ linkage */
#if defined(_WIN32) && !defined(_WIN64)
#define QUIL_STDCALL __stdcall
#else
#define QUIL_STDCALL
#endif

#if defined(_WIN32)
#if defined(QUIL_BUILDING)
#define QUIL_API __declspec(dllexport)
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
    X(QUIL_ERROR_MODE, 4101, "the command is not accepted in the controller's current mode")   \
    X(QUIL_ERROR_UNKNOWN, 4102, "unknown controller error, empty reply or unexpected value")    \
    X(QUIL_ERROR_PARAMETER, 4103, "an argument is invalid (also controller error 61)")          \
    X(QUIL_ERROR_DEVICE_E63, 4104, "the controller answered with error number 63")              \
    X(QUIL_ERROR_RANGE, 4105, "an index argument is out of range (also controller error 64)")  \
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

/* ------------------------------------------------------------ value status */
/* Status of a measured or stored value: the controller sends a special text
 * instead of a number when the value is out of range or invalid. */
enum QuilValueStatus {
    QUIL_VALUE_NORMAL = 0,         /* a number */
    QUIL_VALUE_PLUS_FFFFFFF = 1,   /* "+FFFFFFF": above the range */
    QUIL_VALUE_MINUS_FFFFFFF = 2,  /* "-FFFFFFF": below the range */
    QUIL_VALUE_XXXXXXXX = 3        /* "XXXXXXXX": no valid value */
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
typedef void (*QuilRollDataCallback)(int32_t* ch1, int32_t* ch2, int32_t* ch3, int32_t* ch4,
                                     int32_t mask, int32_t count, int32_t status, int32_t DeviceId);

/* Search answers: the value at offset 12, the 32-byte area of the reply, the
 * address text, the MAC text and the hexadecimal text of the value at offset
 * 4. Called once more with -1 and four null pointers at the end. */
typedef void (*QuilSearchCallback)(int32_t value, const char* area, const char* ip, const char* mac,
                                   const char* hex);

/* ------------------------------------------------------------ raw link
 * Plain C calling convention. Device numbers 64 and above are out of range.
 * Every record holds a receive buffer (GetDataBuff) and a scratch buffer
 * (GetTmpBuff) of 25,165,824 bytes each. */

/* Version of the library: 0x01000005. */
QUIL_API int32_t VersionDll(void);

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
 * zero) and outLen its length. timeoutMs bounds each wait for answer bytes (0
 * means 10 seconds). Results: 0; -100 no link; -2 the line does not end in a
 * carriage return, or the answer did not fit the buffer, or a later read
 * failed; -1 the line could not be sent or the first read failed; -10 no
 * answer within the wait. */
QUIL_API int32_t SwapData(uint32_t DeviceId, const char* line, int32_t len, char* out, int32_t* outLen,
                          int32_t timeoutMs);


/* ------------------------------------------------------------ device sessions
 * QUIL_ functions: DeviceId 0 to 63 first, a result code back (QUIL_OK or
 * QUIL_ERROR_*), results written through the pointers only on success. */

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

#ifdef __cplusplus
}
#endif

#endif /* QUIL_H */
