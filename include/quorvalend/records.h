/* Quorvalend driver: the host records and status values.
 *
 * The byte layout of every record that crosses the driver's interfaces is
 * fixed by the host. Records are plain structs whose offsets are checked at
 * compile time; fields named host* belong to the host and are never read or
 * written by the driver. The host's layout is ILP32 (32-bit pointers): the
 * Windows DLL, 32-bit x86 Linux and 32-bit ARM Linux (armhf) check the same
 * offsets; no record has an 8-byte member, so the ARM EABI's alignment of
 * such members to 8 changes nothing. 64-bit Linux (LP64) has no host of
 * its own to match: its records keep the same fields in the same order,
 * pointers at their natural 8 bytes, and their own checked offsets. This
 * header needs nothing but the C library, so the addressing and protocol
 * code can use it without any platform header.
 */
#ifndef QUORVALEND_RECORDS_H
#define QUORVALEND_RECORDS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define QV_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define QV_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#if defined(_WIN32) || UINTPTR_MAX == 0xFFFFFFFFu
QV_STATIC_ASSERT(sizeof(void*) == 4, "the Windows host's records carry 32-bit pointers");
#define QV_RECORDS_ILP32 1
#else
QV_STATIC_ASSERT(sizeof(void*) == 8 && sizeof(long) == 8, "64-bit Linux records are laid out for LP64");
#define QV_RECORDS_ILP32 0
#endif

/* ---- status values ---------------------------------------------------- */

#define QV_OK 1     /* every operation but ParseTag */
#define QV_FAILED 0
#define QV_PARSE_OK 0 /* ParseTag reverses the convention */
#define QV_PARSE_FAILED 1
#define QV_NO_ERROR (-1)

#define QV_OPERATION_READ 0
#define QV_OPERATION_WRITE 1
#define QV_TYPE_INDEX_D 0
#define QV_TYPE_INDEX_M 1
#define QV_DATA_TYPE_BYTE 2 /* the byte type of "M" */
#define QV_DATA_TYPE_WORD 8 /* the 16-bit register type of "D" */
#define QV_QUALITY_GOOD 192
#define QV_STOP_BITS_TWO 2
#define QV_COMMERR_BLOCK "CommErr"

/* Error codes; the messages are the driver's (GetErrorText). */
enum QvErrorCode {
  QV_ERR_REGISTER_NAME = 0,
  QV_ERR_NETWORK_INIT = 1,
  QV_ERR_IP_ADDRESS = 2,
  QV_ERR_OPEN_PORT = 3,
  QV_ERR_CONFIGURE_PORT = 4,
  QV_ERR_RECEIVE_TIMEOUT = 5,
  QV_ERR_BAD_DATA = 6,
  QV_ERR_REGISTER_RANGE = 7,
  QV_ERR_DATA_TYPE = 8,
  QV_ERR_TYPE_BIT = 9,
  QV_ERR_TYPE_BYTE = 10,
  QV_ERR_TYPE_INT = 11,
  QV_ERR_TYPE_UINT = 12,
  QV_ERR_TYPE_BCD = 13,
  QV_ERR_TYPE_LONG = 14,
  QV_ERR_TYPE_LONGBCD = 15,
  QV_ERR_TYPE_FLOAT = 16,
  QV_ERR_TYPE_STRING = 17,
  QV_ERR_DEVICE_ADDRESS = 18,
  QV_ERR_DEVICE_NAME = 19,
  QV_ERR_REGISTER_DATA_ADDRESS = 20,
  QV_ERR_TAG_DATA_TYPE = 21,
  QV_ERROR_CODE_COUNT = 22
};

/* ---- host records ----------------------------------------------------- */

typedef intptr_t QvPortHandle; /* Win32 HANDLE or POSIX descriptor; -1 none */
#define QV_NO_PORT ((QvPortHandle)-1)

/* One row of the register table handed to the host. */
typedef struct RegisterTypeEntry {
  char prefix[8];
  int32_t lowestAddress;
  int32_t highestAddress;
  uint32_t dataTypeMask;
  uint32_t accessCode;
} RegisterTypeEntry;

typedef struct TagDefinition {
  uint8_t host0[32];
  char addressText[128];
  int16_t dataType;
} TagDefinition;

typedef struct TagAddress {
  uint8_t host0[38];
  int16_t deviceAddress;
  uint8_t host40[4];
  const RegisterTypeEntry* registerRow;
  int16_t registerTypeIndex;
  int16_t dataType;
  uint8_t host52[4];
  int16_t registerAddress;
  int16_t dataType2;
} TagAddress;

/* The framework's doubly linked pointer list, as host and driver share it. */
typedef struct QvListNode {
  struct QvListNode* next;
  struct QvListNode* prev;
  void* data; /* BlockItem* */
} QvListNode;

typedef struct QvItemList {
  const void* typeInfo;
  QvListNode* head;
  QvListNode* tail;
  int32_t count;
  QvListNode* freeList;
  void* blocks;
  int32_t blockSize;
} QvItemList;

typedef struct BlockRequest {
  uint8_t host0[2];
  int16_t deviceAddress;
  uint8_t host4[8];
  const char* blockName;
  int16_t registerTypeIndex;
  int16_t dataType;
  uint8_t host20[4];
  int32_t startAddress;
  int32_t endAddress;
  int16_t operation;
  uint8_t host34[2];
  QvItemList items;
} BlockRequest;

/* The timestamp is two 32-bit halves because it sits at offset 20, which a
 * 64-bit member would not keep on every compiler. */
typedef struct QvFileTime {
  uint32_t low;
  uint32_t high;
} QvFileTime;

typedef struct BlockItem {
  uint8_t host0[2];
  uint16_t registerAddress;
  int16_t hostField;
  uint8_t host6[2];
  uint8_t value[8];
  int16_t quality;
  uint8_t host18[2];
  QvFileTime timestamp;
} BlockItem;

typedef struct PortSettings {
  uint8_t host0[4];
  char portName[32];
  int32_t baudRate;
  uint8_t dataBits;
  uint8_t host41;
  int16_t stopBits;
  uint8_t parity;
  uint8_t host45;
  int16_t replyTimeout;
} PortSettings;

typedef struct PortHandleRecord {
  QvPortHandle handle;
} PortHandleRecord;

#define QV_CHECK_OFFSET(rec, field, off) \
  QV_STATIC_ASSERT(offsetof(rec, field) == (off), #rec "." #field " must sit at offset " #off)

/* Offsets without a pointer before them: the same on every target. */
QV_CHECK_OFFSET(RegisterTypeEntry, lowestAddress, 8);
QV_CHECK_OFFSET(RegisterTypeEntry, highestAddress, 12);
QV_CHECK_OFFSET(RegisterTypeEntry, dataTypeMask, 16);
QV_CHECK_OFFSET(RegisterTypeEntry, accessCode, 20);
QV_STATIC_ASSERT(sizeof(RegisterTypeEntry) == 24, "a register table row is 24 bytes");
QV_CHECK_OFFSET(TagDefinition, addressText, 32);
QV_CHECK_OFFSET(TagDefinition, dataType, 160);
QV_CHECK_OFFSET(TagAddress, deviceAddress, 38);
QV_CHECK_OFFSET(QvListNode, next, 0);
QV_CHECK_OFFSET(BlockRequest, deviceAddress, 2);
QV_CHECK_OFFSET(BlockItem, registerAddress, 2);
QV_CHECK_OFFSET(BlockItem, hostField, 4);
QV_CHECK_OFFSET(BlockItem, value, 8);
QV_CHECK_OFFSET(BlockItem, quality, 16);
QV_CHECK_OFFSET(BlockItem, timestamp, 20);
QV_STATIC_ASSERT(sizeof(BlockItem) == 28, "a BlockItem occupies 28 bytes");
QV_CHECK_OFFSET(PortSettings, portName, 4);
QV_CHECK_OFFSET(PortSettings, baudRate, 36);
QV_CHECK_OFFSET(PortSettings, dataBits, 40);
QV_CHECK_OFFSET(PortSettings, stopBits, 42);
QV_CHECK_OFFSET(PortSettings, parity, 44);
QV_CHECK_OFFSET(PortSettings, replyTimeout, 46);
QV_CHECK_OFFSET(PortHandleRecord, handle, 0);

#if QV_RECORDS_ILP32
/* The host's contract. */
QV_CHECK_OFFSET(TagAddress, registerRow, 44);
QV_CHECK_OFFSET(TagAddress, registerTypeIndex, 48);
QV_CHECK_OFFSET(TagAddress, dataType, 50);
QV_CHECK_OFFSET(TagAddress, registerAddress, 56);
QV_CHECK_OFFSET(TagAddress, dataType2, 58);
QV_CHECK_OFFSET(QvListNode, prev, 4);
QV_CHECK_OFFSET(QvListNode, data, 8);
QV_CHECK_OFFSET(BlockRequest, blockName, 12);
QV_CHECK_OFFSET(BlockRequest, registerTypeIndex, 16);
QV_CHECK_OFFSET(BlockRequest, dataType, 18);
QV_CHECK_OFFSET(BlockRequest, startAddress, 24);
QV_CHECK_OFFSET(BlockRequest, endAddress, 28);
QV_CHECK_OFFSET(BlockRequest, operation, 32);
QV_CHECK_OFFSET(BlockRequest, items, 36);
QV_CHECK_OFFSET(BlockRequest, items.head, 40);
QV_CHECK_OFFSET(BlockRequest, items.count, 48);
QV_STATIC_ASSERT(sizeof(BlockRequest) == 64, "a BlockRequest occupies 64 bytes");
QV_STATIC_ASSERT(sizeof(PortHandleRecord) == 4, "a port handle is 32 bits wide");
#else
/* This project's own LP64 layout (amd64, arm64): every pointer and handle
 * 8 bytes wide and 8-aligned, each field after one moved with it. */
QV_CHECK_OFFSET(TagAddress, registerRow, 48);
QV_CHECK_OFFSET(TagAddress, registerTypeIndex, 56);
QV_CHECK_OFFSET(TagAddress, dataType, 58);
QV_CHECK_OFFSET(TagAddress, registerAddress, 64);
QV_CHECK_OFFSET(TagAddress, dataType2, 66);
QV_CHECK_OFFSET(QvListNode, prev, 8);
QV_CHECK_OFFSET(QvListNode, data, 16);
QV_CHECK_OFFSET(BlockRequest, blockName, 16);
QV_CHECK_OFFSET(BlockRequest, registerTypeIndex, 24);
QV_CHECK_OFFSET(BlockRequest, dataType, 26);
QV_CHECK_OFFSET(BlockRequest, startAddress, 32);
QV_CHECK_OFFSET(BlockRequest, endAddress, 36);
QV_CHECK_OFFSET(BlockRequest, operation, 40);
QV_CHECK_OFFSET(BlockRequest, items, 48);
QV_CHECK_OFFSET(BlockRequest, items.head, 56);
QV_CHECK_OFFSET(BlockRequest, items.count, 72);
QV_STATIC_ASSERT(sizeof(BlockRequest) == 104, "an LP64 BlockRequest occupies 104 bytes");
QV_STATIC_ASSERT(sizeof(PortHandleRecord) == 8, "an LP64 port handle is 64 bits wide");
#endif

#ifdef __cplusplus
}
#endif

#endif
