/* The VISA C interface, as far as kesload, the stand-in library and ordinary
   scripting (PyVISA) need it. Types, status values, attribute identifiers
   and signatures are those of the public VISA standard, so that a vendor's
   visa.h and libvisa.so can replace the stand-in without a change to the
   program, and the other way round. */
#ifndef KESLOAD_STANDIN_VISA_H
#define KESLOAD_STANDIN_VISA_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t ViInt32;
typedef uint32_t ViUInt32;
typedef ViInt32* ViPInt32;
typedef ViUInt32* ViPUInt32;
typedef int16_t ViInt16;
typedef uint16_t ViUInt16;
typedef ViInt16* ViPInt16;
typedef ViUInt16* ViPUInt16;
typedef signed char ViInt8;
typedef unsigned char ViUInt8;
typedef ViUInt8* ViPUInt8;
typedef int64_t ViInt64;
typedef uint64_t ViUInt64;

typedef ViUInt16 ViBoolean;
typedef ViBoolean* ViPBoolean;
typedef char ViChar;
typedef ViChar* ViPChar;
typedef unsigned char ViByte;
typedef ViByte* ViPByte;
typedef ViByte* ViBuf;
typedef ViByte* ViPBuf;
typedef const ViByte* ViConstBuf;
typedef void* ViAddr;
typedef ViAddr* ViPAddr;

typedef ViChar* ViString;
typedef const ViChar* ViConstString;
typedef ViString ViRsrc;
typedef ViConstString ViConstRsrc;
typedef ViString ViKeyId;
typedef ViConstString ViConstKeyId;

typedef ViInt32 ViStatus;
typedef ViUInt32 ViVersion;
typedef ViUInt32 ViObject;
typedef ViObject* ViPObject;
typedef ViObject ViSession;
typedef ViSession* ViPSession;
typedef ViObject ViFindList;
typedef ViFindList* ViPFindList;
typedef ViObject ViEvent;
typedef ViEvent* ViPEvent;
typedef ViUInt32 ViEventType;
typedef ViEventType* ViPEventType;
typedef ViUInt32 ViEventFilter;
typedef ViUInt32 ViAttr;
typedef ViUInt32 ViAccessMode;

/* An attribute's value: 64 bits wide on 64-bit hosts, 32 otherwise. */
#if UINTPTR_MAX > 0xFFFFFFFFu
typedef ViUInt64 ViAttrState;
#else
typedef ViUInt32 ViAttrState;
#endif
/* viGetAttribute stores the attribute in its own type (ViUInt32, ViBoolean,
   a string of at most 256 bytes, ...), hence a pointer to anything. */
typedef void* ViPAttrState;

#define VI_NULL 0
#define VI_TRUE 1
#define VI_FALSE 0
#define VI_FIND_BUFLEN 256

/* Completion codes and warnings (0 and above). */
#define VI_SUCCESS ((ViStatus)0)
#define VI_SUCCESS_EVENT_EN ((ViStatus)0x3FFF0002)
#define VI_SUCCESS_EVENT_DIS ((ViStatus)0x3FFF0003)
#define VI_SUCCESS_QUEUE_EMPTY ((ViStatus)0x3FFF0004)
#define VI_SUCCESS_TERM_CHAR ((ViStatus)0x3FFF0005)
#define VI_SUCCESS_MAX_CNT ((ViStatus)0x3FFF0006)
#define VI_WARN_NULL_OBJECT ((ViStatus)0x3FFF0082)
#define VI_WARN_UNKNOWN_STATUS ((ViStatus)0x3FFF0085)

/* Errors: negative as 32-bit signed numbers. */
#define VI_ERROR_SYSTEM_ERROR ((ViStatus)0xBFFF0000)
#define VI_ERROR_INV_OBJECT ((ViStatus)0xBFFF000E)
#define VI_ERROR_RSRC_LOCKED ((ViStatus)0xBFFF000F)
#define VI_ERROR_INV_EXPR ((ViStatus)0xBFFF0010)
#define VI_ERROR_RSRC_NFOUND ((ViStatus)0xBFFF0011)
#define VI_ERROR_INV_RSRC_NAME ((ViStatus)0xBFFF0012)
#define VI_ERROR_INV_ACC_MODE ((ViStatus)0xBFFF0013)
#define VI_ERROR_TMO ((ViStatus)0xBFFF0015)
#define VI_ERROR_CLOSING_FAILED ((ViStatus)0xBFFF0016)
#define VI_ERROR_NSUP_ATTR ((ViStatus)0xBFFF001D)
#define VI_ERROR_NSUP_ATTR_STATE ((ViStatus)0xBFFF001E)
#define VI_ERROR_ATTR_READONLY ((ViStatus)0xBFFF001F)
#define VI_ERROR_INV_EVENT ((ViStatus)0xBFFF0026)
#define VI_ERROR_INV_MECH ((ViStatus)0xBFFF0027)
#define VI_ERROR_ABORT ((ViStatus)0xBFFF0030)
#define VI_ERROR_INV_SETUP ((ViStatus)0xBFFF003A)
#define VI_ERROR_ALLOC ((ViStatus)0xBFFF003C)
#define VI_ERROR_IO ((ViStatus)0xBFFF003E)
#define VI_ERROR_NLISTENERS ((ViStatus)0xBFFF005F)
#define VI_ERROR_NSUP_OPER ((ViStatus)0xBFFF0067)
#define VI_ERROR_USER_BUF ((ViStatus)0xBFFF0071)
#define VI_ERROR_RSRC_BUSY ((ViStatus)0xBFFF0072)
#define VI_ERROR_INV_PARAMETER ((ViStatus)0xBFFF0078)
#define VI_ERROR_NIMPL_OPER ((ViStatus)0xBFFF0081)
#define VI_ERROR_LIBRARY_NFOUND ((ViStatus)0xBFFF009E)
#define VI_ERROR_CONN_LOST ((ViStatus)0xBFFF00A6)

/* Attributes. */
#define VI_ATTR_RSRC_CLASS ((ViAttr)0xBFFF0001)
#define VI_ATTR_RSRC_NAME ((ViAttr)0xBFFF0002)
#define VI_ATTR_RSRC_IMPL_VERSION ((ViAttr)0x3FFF0003)
#define VI_ATTR_RSRC_LOCK_STATE ((ViAttr)0x3FFF0004)
#define VI_ATTR_SEND_END_EN ((ViAttr)0x3FFF0016)
#define VI_ATTR_TERMCHAR ((ViAttr)0x3FFF0018)
#define VI_ATTR_TMO_VALUE ((ViAttr)0x3FFF001A)
#define VI_ATTR_TERMCHAR_EN ((ViAttr)0x3FFF0038)
#define VI_ATTR_RM_SESSION ((ViAttr)0x3FFF00C4)
#define VI_ATTR_RSRC_SPEC_VERSION ((ViAttr)0x3FFF0170)
#define VI_ATTR_INTF_TYPE ((ViAttr)0x3FFF0171)
#define VI_ATTR_GPIB_PRIMARY_ADDR ((ViAttr)0x3FFF0172)
#define VI_ATTR_GPIB_SECONDARY_ADDR ((ViAttr)0x3FFF0173)
#define VI_ATTR_RSRC_MANF_NAME ((ViAttr)0xBFFF0174)
#define VI_ATTR_RSRC_MANF_ID ((ViAttr)0x3FFF0175)
#define VI_ATTR_INTF_NUM ((ViAttr)0x3FFF0176)

/* Interface types (VI_ATTR_INTF_TYPE, viParseRsrc). */
#define VI_INTF_GPIB 1
#define VI_NO_SEC_ADDR 0xFFFF

/* Events and their mechanisms. */
#define VI_EVENT_IO_COMPLETION ((ViEventType)0x3FFF2009)
#define VI_EVENT_SERVICE_REQ ((ViEventType)0x3FFF200B)
#define VI_EVENT_CLEAR ((ViEventType)0x3FFF200D)
#define VI_ALL_ENABLED_EVENTS ((ViEventType)0x3FFF7FFF)
#define VI_QUEUE 1
#define VI_HNDLR 2
#define VI_SUSPEND_HNDLR 4
#define VI_ALL_MECH 0xFFFF

/* The revision of the VISA specification these declarations follow, as a
   ViVersion: major in bits 31-20, minor in 19-8, subminor in 7-0. */
#define VI_SPEC_VERSION ((ViVersion)0x00500800UL)

/* Access modes (viOpen) and lock states (VI_ATTR_RSRC_LOCK_STATE). */
#define VI_NO_LOCK ((ViAccessMode)0)
#define VI_EXCLUSIVE_LOCK ((ViAccessMode)1)
#define VI_SHARED_LOCK ((ViAccessMode)2)
#define VI_LOAD_CONFIG ((ViAccessMode)4)
#define VI_TMO_IMMEDIATE 0L
#define VI_TMO_INFINITE 0xFFFFFFFFUL

ViStatus viOpenDefaultRM(ViPSession vi);
ViStatus viFindRsrc(ViSession sesn, ViConstString expr, ViPFindList vi, ViPUInt32 retCnt, ViChar desc[]);
ViStatus viFindNext(ViFindList vi, ViChar desc[]);
ViStatus viParseRsrc(ViSession rmSesn, ViConstRsrc rsrcName, ViPUInt16 intfType, ViPUInt16 intfNum);
ViStatus viParseRsrcEx(ViSession rmSesn, ViConstRsrc rsrcName, ViPUInt16 intfType, ViPUInt16 intfNum,
                       ViChar rsrcClass[], ViChar expandedUnaliasedName[], ViChar aliasIfExists[]);
ViStatus viOpen(ViSession sesn, ViConstRsrc name, ViAccessMode mode, ViUInt32 timeout, ViPSession vi);
ViStatus viClose(ViObject vi);
ViStatus viSetAttribute(ViObject vi, ViAttr attrName, ViAttrState attrValue);
ViStatus viGetAttribute(ViObject vi, ViAttr attrName, void* attrValue);
ViStatus viStatusDesc(ViObject vi, ViStatus status, ViChar desc[]);
ViStatus viDisableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism);
ViStatus viDiscardEvents(ViSession vi, ViEventType eventType, ViUInt16 mechanism);
ViStatus viWrite(ViSession vi, ViConstBuf buf, ViUInt32 count, ViPUInt32 ret_count);
ViStatus viRead(ViSession vi, ViPBuf buf, ViUInt32 count, ViPUInt32 ret_count);
ViStatus viClear(ViSession vi);

#ifdef __cplusplus
}
#endif

#endif
