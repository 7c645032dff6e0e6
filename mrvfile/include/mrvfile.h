/* The file manager: file access with retry dialogs and archive lookup, whole
 * files, paths, the byte locking of stored files, RIFF chunk files and value
 * files.
 *
 * Every function that can report takes the owner window first (callers pass
 * `hwndMain` of the system context, or 0 before it exists); the value-file
 * functions take the system context instead and use its `hwndMain`. Reports
 * carry the caption "『Marovine33』ファイルマネージャ(MRVFILE.DLL）". A function
 * that gives 0 has already told the user why (or the user chose Cancel);
 * callers report nothing further.
 *
 * Paths may be written with '\' (or '/') and in any case; they are resolved on
 * disk without regard to case. Every path given to the opening functions and
 * to MRVFILE_Exist is first normalised: copied and upper-cased (ASCII letters
 * only, double-byte characters untouched). Messages show that normalised name.
 * A path of 256 bytes or more (the terminator included) is refused: opening
 * reports it like any other open failure with the text
 * "0x00CE:ファイル名が長すぎます。" (the name shown cut to 255 bytes), and
 * MRVFILE_Exist gives 0. Opening, creating and deleting all use the
 * normalised name: a new file gets the upper-case name on disk (directories
 * that exist already are found in any case).
 *
 * Open failures show "\"NAME\"\n" and the text of the MS-DOS error code:
 * "0x" and four upper-case hexadecimal digits, a colon and the description
 * (codes 0x0000 to 0x0058 as the operating system names them; a code above
 * that without a description of its own shows "不明なエラーです。"). A name that
 * an existing archive does not hold shows the text of code 0x0002 (file not
 * found). An archive whose header or directory does not fit its size is
 * reported once as "\"D.VFS\"\nアーカイブファイルの内容が正しくありません。"
 * and is not retried.
 *
 * Reading looks into archives: a file D\N is looked up first as the entry N of
 * the archive D.vfs (for a path without a directory, the path + ".vfs"); '\'
 * and '/' both end the directory part. When that archive
 * exists, only its entries are searched; the handle returned is the archive's,
 * positioned at the entry's data, and a reader must read no more than
 * MRVFILE_Size bytes. Closing the handle closes the archive.
 *
 * The library keeps one normalised-name buffer and one file entry (the file
 * last opened for reading or tested for existence); calls must not overlap
 * (files are used by the task that holds the execution turn). */
#ifndef MRVFILE_H
#define MRVFILE_H

#include "mrvdefs.h"
#include "mrvval.h"

MRV_EXTERN_C_BEGIN

/* Open styles of MRVFILE_Open. */
enum {
  MRVFILE_STYLE_READ = 0x0000,      /* read, with archive lookup */
  MRVFILE_STYLE_READWRITE = 0x0002, /* read and write an existing file */
  MRVFILE_STYLE_DELETE = 0x0200,    /* delete the file */
  MRVFILE_STYLE_CREATE = 0x1001     /* create or truncate, write only */
};

/* The file entry of an archive directory and of the file last opened for
 * reading: 32 bytes, little-endian, unaligned. */
enum {
  MRVFILE_ENTRY_SIZE = 32, /* bytes per archive directory entry */
  MRVFILE_ENTRY_NAME = 0,  /* 19 bytes: name, NUL-terminated, at most 18 characters */
  MRVFILE_ENTRY_NAME_SIZE = 19,
  MRVFILE_ENTRY_OFFSET = 19,   /* unsigned 32-bit: data offset from the archive's start */
  MRVFILE_ENTRY_LENGTH = 23,   /* unsigned 32-bit: size of the file in bytes */
  MRVFILE_ARCHIVE_HEADER = 16, /* the archive's header; the directory follows */
  MRVFILE_NAME_BUFFER = 256    /* room for a normalised path, terminator included */
};

/* ---- File access --------------------------------------------------------
 * Who closes a handle: the caller, always, unless a function that writes or
 * reads through it failed. MRVFILE_Read, MRVFILE_Write, MRVFILE_SetChunk and
 * MRVFILE_MakeRIFF close the handle whenever they return 0; the caller must
 * not close it again. MRVFILE_GetChunk and MRVFILE_SearchChunk close it only
 * after a cancelled read; at the end of the file they leave it open. An
 * opening function that fails leaves nothing open. */

/* Opens `path` in one of the styles above; a file handle, or 0.
 * Reading and writing repeat while the user chooses Retry in the box
 * "\"NAME\"\n<error text>"; Cancel gives 0. Deleting reports a failure once
 * and gives a non-zero value on success. */
MRV_API uint32_t MRVFILE_Open(uint32_t owner, const char* path, int32_t style);
/* MRVFILE_Open with style 0 (read, archive lookup). */
MRV_API uint32_t MRVFILE_ReadOpen(uint32_t owner, const char* path);
/* MRVFILE_Open with style 0x1001 (create or truncate for writing). */
MRV_API uint32_t MRVFILE_WriteOpen(uint32_t owner, const char* path);
/* Closes a handle; 1, or 0 for a handle that is not open. */
MRV_API int32_t MRVFILE_Close(uint32_t owner, uint32_t handle);
/* Reads up to `count` bytes (fewer at the end of the file). 1, or 0 after the
 * user cancelled the retry box of a read error; the handle is then closed and
 * must not be closed again. */
MRV_API int32_t MRVFILE_Read(uint32_t owner, uint32_t handle, void* buffer, uint32_t count);
/* Writes `count` bytes; 1, or 0 after Cancel (the handle is then closed). A
 * disk that takes fewer bytes than asked is a write error. */
MRV_API int32_t MRVFILE_Write(uint32_t owner, uint32_t handle, const void* data, uint32_t count);
/* 1 when the file can be opened for reading (also from its archive), else 0.
 * Never reports. */
MRV_API int32_t MRVFILE_Exist(uint32_t owner, const char* path);
/* Size of the file (of its archive entry) in bytes, or 0 when it cannot be
 * opened (after the retry box). */
MRV_API uint32_t MRVFILE_Size(uint32_t owner, const char* path);
/* Deletes the file; 1, or 0 after one report. */
MRV_API int32_t MRVFILE_Delete(uint32_t owner, const char* path);
/* A new memory block (free it with MRVTASK_FreeMemory) with the whole file,
 * followed by the bytes 0x1A 0x00 when `endMark` is non-zero; 0 on failure. */
MRV_API void* MRVFILE_ReadBlock(uint32_t owner, const char* path, int32_t endMark);
/* Creates or truncates the file and writes `count` bytes; 1 / 0. */
MRV_API int32_t MRVFILE_WriteBlock(uint32_t owner, const char* path, const void* data,
                                   uint32_t count);

/* ---- Paths -------------------------------------------------------------- */

/* Upper-cases `path` in place and splits it at its last backslash (or '/';
 * a trail byte of a double-byte character is never taken for one): `dir`
 * gets the text before it (empty when there is none), `name` the text after
 * it (the whole path when there is none). Each buffer needs room for the
 * path. */
MRV_API void MRVFILE_Sprit(char* dir, char* name, char* path);
/* out := dir + "\" + name, upper-cased; returns out. `out` needs room for
 * both texts, the backslash and the terminator. */
MRV_API char* MRVFILE_Merge(char* out, const char* dir, const char* name);

/* ---- Locking of stored files -------------------------------------------- */

/* A key from 1 to 254, taken from the millisecond tick count. */
MRV_API int32_t MRVFILE_MakeCode(void);
/* Chained XOR of `count` bytes in place with the key's low byte; Unlock with
 * the same key restores them exactly. Blocks of 0 or 1 bytes are unchanged. */
MRV_API void MRVFILE_LockCode(void* block, uint32_t count, int32_t key);
MRV_API void MRVFILE_UnlockCode(void* block, uint32_t count, int32_t key);

/* ---- RIFF chunk files ----------------------------------------------------
 * A 12-byte header ("RIFF", file size - 8, four-character form type), then
 * chunks of a four-character identifier, a 32-bit size n and n data bytes
 * (no pad byte). Identifiers and forms are compared case-sensitively. */

/* Opens an existing RIFF file of form `form` for reading and writing; the
 * handle is positioned at offset 12. A file of another kind or form is
 * reported and closed; 0. */
MRV_API uint32_t MRVFILE_OpenRIFF(uint32_t owner, const char* path, const char* form);
/* Writes the RIFF header for the file's present size; the position is kept.
 * 1, or 0 with the handle closed. */
MRV_API int32_t MRVFILE_MakeRIFF(uint32_t owner, uint32_t handle, const char* form);
/* Writes a chunk header at the current position; the caller then writes
 * exactly `size` data bytes. 1, or 0 with the handle closed (MRVFILE_Write). */
MRV_API int32_t MRVFILE_SetChunk(uint32_t owner, uint32_t handle, const char* id, uint32_t size);
/* Reads a chunk header at the current position: the identifier into `id`
 * (5 bytes, NUL-terminated) and the data size. 0 when fewer than 8 bytes
 * remain (the handle stays open) or after a cancelled read (it is closed). */
MRV_API int32_t MRVFILE_GetChunk(uint32_t owner, uint32_t handle, char* id, uint32_t* size);
/* Finds the first chunk `id` from the start of the chunks; 1 with the size
 * and the position at its data, 0 when the file ends first (no report; the
 * handle stays open) or after a cancelled read (it is closed). */
MRV_API int32_t MRVFILE_SearchChunk(uint32_t owner, uint32_t handle, const char* id,
                                    uint32_t* size);

/* ---- Value files ---------------------------------------------------------
 * A RIFF file of form "PVFG" holding one record per value: "NULL" (empty and
 * every type without a record of its own), "NUM " (8 bytes), "RECT" (16),
 * "STR " (the 16-bit text and its terminator, locked), "CELL" (the 40-byte
 * picture descriptor and width x height data bytes), "MEM " (the block's
 * bytes), and "END " after the last. Variable `first + k` of `table`
 * (relative to its base) corresponds to record k of the run. The functions
 * use the context's `wordBuf1` as scratch. */

/* Number of records before "END ", or 0. */
MRV_API int32_t MRVFILE_CountFAQ(SystemContext* ctx, const char* path);
/* Passes over `skip` records, then reads up to `count` records into the
 * variables from `first` on; record k replaces variable first + k. The
 * number of values stored (empty ones included), or 0 on failure; values
 * stored before a failure stay, and the variable of a record that cannot be
 * read keeps its value. A record whose size runs past the end of the file, a
 * "CELL" shorter than 40 bytes or whose width x height differs from its data,
 * and a "STR " of odd size, of more than 2000 bytes or without its terminator
 * are reported as broken. Records of an unknown kind are shown as a warning,
 * leave their variable empty and are not counted. */
MRV_API int32_t MRVFILE_ReadFAQ(SystemContext* ctx, const char* path, VarTable* table,
                                int32_t first, int32_t skip, int32_t count);
/* Writes `count` variables from `first` on. The file is looked for on disk
 * only (never in an archive); a new file is created (the position is then
 * ignored). Into an existing file: a negative position
 * appends after the last record; a position p >= 0 replaces the records
 * p .. p + count - 1 with the new ones, whatever their sizes, and keeps every
 * record before and after them (records beyond the last are appended; 0 when
 * the file has fewer than p records). The number of values written, or 0; a
 * write the disk refuses is reported and gives 0, and the file is left as it
 * was (a new file is removed again). */
MRV_API int32_t MRVFILE_WriteFAQ(SystemContext* ctx, const char* path, VarTable* table,
                                 int32_t first, int32_t position, int32_t count);

MRV_EXTERN_C_END

#endif
