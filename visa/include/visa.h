/* The VISA C interface, as far as kesload and its stand-in library need it.
   Types, status values and attribute identifiers are those of the public
   VISA standard, so that a vendor's visa.h and libvisa.so can replace the
   stand-in without a change to the program. */
#ifndef KESLOAD_STANDIN_VISA_H
#define KESLOAD_STANDIN_VISA_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t ViInt32;
typedef uint32_t ViUInt32;
typedef ViUInt32* ViPUInt32;
typedef ViInt32 ViStatus;
typedef ViUInt32 ViObject;
typedef ViObject ViSession;
typedef ViSession* ViPSession;
typedef ViUInt32 ViAttr;
typedef uint64_t ViAttrState;
typedef ViUInt32 ViAccessMode;
typedef unsigned char ViByte;
typedef ViByte* ViBuf;
typedef ViByte* ViPBuf;
typedef const ViByte* ViConstBuf;
typedef char ViChar;
typedef const ViChar* ViConstRsrc;
typedef ViChar* ViRsrc;
typedef int16_t ViBoolean;

#define VI_NULL 0
#define VI_TRUE 1
#define VI_FALSE 0

/* Status values. The errors are negative as 32-bit signed numbers. */
#define VI_SUCCESS ((ViStatus)0)
#define VI_SUCCESS_MAX_CNT ((ViStatus)0x3FFF0006)
#define VI_ERROR_INV_OBJECT ((ViStatus)0xBFFF000E)
#define VI_ERROR_RSRC_NFOUND ((ViStatus)0xBFFF0011)
#define VI_ERROR_INV_RSRC_NAME ((ViStatus)0xBFFF0012)
#define VI_ERROR_TMO ((ViStatus)0xBFFF0015)
#define VI_ERROR_IO ((ViStatus)0xBFFF003E)
#define VI_ERROR_CONN_LOST ((ViStatus)0xBFFF00A6)
#define VI_ERROR_SYSTEM_ERROR ((ViStatus)0xBFFF0000)
#define VI_ERROR_NSUP_ATTR ((ViStatus)0xBFFF001D)
#define VI_ERROR_NSUP_ATTR_STATE ((ViStatus)0xBFFF001E)
#define VI_ERROR_INV_SETUP ((ViStatus)0xBFFF003A)
#define VI_ERROR_ALLOC ((ViStatus)0xBFFF003C)
#define VI_ERROR_NSUP_OPER ((ViStatus)0xBFFF0067)
#define VI_ERROR_USER_BUF ((ViStatus)0xBFFF0071)

/* Session attributes */
#define VI_ATTR_SEND_END_EN ((ViAttr)0x3FFF0016)
#define VI_ATTR_TMO_VALUE ((ViAttr)0x3FFF001A)

#define VI_NO_LOCK ((ViAccessMode)0)
#define VI_TMO_IMMEDIATE 0L
#define VI_TMO_INFINITE 0xFFFFFFFFUL

ViStatus viOpenDefaultRM(ViPSession vi);
ViStatus viOpen(ViSession sesn, ViConstRsrc name, ViAccessMode mode, ViUInt32 timeout, ViPSession vi);
ViStatus viClose(ViObject vi);
ViStatus viSetAttribute(ViObject vi, ViAttr attr, ViAttrState value);
ViStatus viWrite(ViSession vi, ViConstBuf buf, ViUInt32 count, ViPUInt32 ret_count);
ViStatus viRead(ViSession vi, ViPBuf buf, ViUInt32 count, ViPUInt32 ret_count);
ViStatus viClear(ViSession vi);

#ifdef __cplusplus
}
#endif

#endif
