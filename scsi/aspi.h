/*
 * The ABI between the IO-box driver (boxlink) and an ASPI-style back-end
 * library, libwnaspi32.so. Plain C, usable from C and C++; docs/aspi.md is
 * the page a third party implements from.
 *
 * Request blocks follow the ASPI for Win32 field order, packed to 1 byte;
 * 32-bit words are uint32_t, pointers have the native width (so the
 * execute-command block is 80 bytes with 32-bit pointers, 88 with 64-bit).
 *
 * Completion: a back end may finish a request inside SendASPI32Command or
 * later from a thread of its own. Either way it writes every result field
 * (data buffer, host adapter status, target status, sense area) first and
 * the status byte last, with release semantics; the caller polls the status
 * byte with acquire loads and touches nothing else while it reads 0. Once
 * the status byte is non-zero the back end never writes to the block or its
 * buffer again.
 */
#ifndef TARNEL_SCSI_ASPI_H
#define TARNEL_SCSI_ASPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Command codes (SRB_Cmd). */
#define SC_HA_INQUIRY 0x00
#define SC_EXEC_SCSI_CMD 0x02
#define SC_ABORT_SRB 0x03

/* Status byte (SRB_Status) and the status byte of GetASPI32SupportInfo. */
#define SS_PENDING 0x00     /* still running */
#define SS_COMP 0x01        /* completed without error */
#define SS_ABORTED 0x02     /* ended by an abort request */
#define SS_ERR 0x04         /* completed with an error: see HaStat, TargStat */
#define SS_INVALID_CMD 0x80 /* unknown command code */
#define SS_INVALID_HA 0x81  /* no such host adapter */
#define SS_NO_DEVICE 0x82   /* no such target */
#define SS_FAILED_INIT 0xE4 /* the library could not start (support info only) */
#define SS_NO_ADAPTERS 0xE8 /* no host adapter at all (support info only) */

/* Flags (SRB_Flags): the data direction. No completion routine or event is
 * used by boxlink; back ends may ignore the other bits. */
#define SRB_DIR_IN 0x08  /* data from the device */
#define SRB_DIR_OUT 0x10 /* data to the device */

/* Host adapter status (SRB_HaStat). */
#define HASTAT_OK 0x00
#define HASTAT_SEL_TO 0x11 /* selection time-out: no device at that ID */
#define HASTAT_DO_DU 0x12  /* data over-run or under-run */

/* Target status (SRB_TargStat). */
#define STATUS_GOOD 0x00
#define STATUS_CHKCOND 0x02 /* check condition: SenseArea holds sense data */

#define ASPI_SENSE_LEN 14

#pragma pack(push, 1)

/* Host adapter inquiry, command 0: 60 bytes. */
typedef struct {
  uint8_t SRB_Cmd;      /* SC_HA_INQUIRY */
  uint8_t SRB_Status;   /* out */
  uint8_t SRB_HaId;     /* in: adapter number 0.. */
  uint8_t SRB_Flags;    /* 0 */
  uint32_t SRB_Hdr_Rsvd;
  uint8_t HA_Count;     /* out: number of adapters */
  uint8_t HA_SCSI_ID;   /* out: the adapter's own SCSI ID */
  uint8_t HA_ManagerId[16];
  uint8_t HA_Identifier[16];
  uint8_t HA_Unique[16];
  uint16_t HA_Rsvd1;
} SRB_HAInquiry;

/* Execute SCSI command, command 2. */
typedef struct {
  uint8_t SRB_Cmd;       /* SC_EXEC_SCSI_CMD */
  uint8_t SRB_Status;    /* out, written last */
  uint8_t SRB_HaId;      /* adapter number */
  uint8_t SRB_Flags;     /* SRB_DIR_IN or SRB_DIR_OUT */
  uint32_t SRB_Hdr_Rsvd;
  uint8_t SRB_Target;    /* target SCSI ID */
  uint8_t SRB_Lun;       /* always 0 here */
  uint16_t SRB_Rsvd1;
  uint32_t SRB_BufLen;   /* bytes at SRB_BufPointer */
  uint8_t* SRB_BufPointer;
  uint8_t SRB_SenseLen;  /* ASPI_SENSE_LEN */
  uint8_t SRB_CDBLen;    /* 6 */
  uint8_t SRB_HaStat;    /* out */
  uint8_t SRB_TargStat;  /* out */
  void* SRB_PostProc;    /* not used: null */
  uint8_t SRB_Rsvd2[20];
  uint8_t CDBByte[16];
  uint8_t SenseArea[ASPI_SENSE_LEN + 2];
} SRB_ExecSCSICmd;

/* Abort, command 3: ends the pending execute block SRB_ToAbort. The aborted
 * block then shows SS_ABORTED (or its own final status if it had already
 * completed). */
typedef struct {
  uint8_t SRB_Cmd;      /* SC_ABORT_SRB */
  uint8_t SRB_Status;   /* out */
  uint8_t SRB_HaId;
  uint8_t SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  void* SRB_ToAbort;
} SRB_Abort;

#pragma pack(pop)

/* The two entry points, looked up by these names. */

/* Bits 8-15: status (SS_COMP, SS_FAILED_INIT, SS_NO_ADAPTERS); bits 0-7:
 * number of host adapters. */
uint32_t GetASPI32SupportInfo(void);

/* Starts the request in srb (any of the three blocks, told apart by its
 * first byte). Returns the status byte as it stands when the call returns
 * (SS_PENDING while the request runs on). */
uint32_t SendASPI32Command(void* srb);

typedef uint32_t (*Aspi_Support_Info_Fn)(void);
typedef uint32_t (*Aspi_Send_Command_Fn)(void*);

#ifdef __cplusplus
}
#endif

#endif /* TARNEL_SCSI_ASPI_H */
