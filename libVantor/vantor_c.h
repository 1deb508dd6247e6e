/* libVantor/vantor_c.h
 * The library as plain C, for programs built with any compiler and any C runtime (C89
 * and later, C++, Python ctypes, .NET P/Invoke). Only C types cross it: opaque handles,
 * UTF-8 strings, integers and the structs below. No exception leaves it.
 *
 * Errors: every entry point that can fail returns 0 (VANTOR_OK) or a vantor_error code,
 * whose values are those of the C++ VantorErrorCodes and never change. After a failed
 * synchronous call, vantor_last_error() gives its message on the calling thread.
 *
 * Ownership: every handle is made by the library and given back to it (vantor_disk_close,
 * vantor_list_free, vantor_job_free); never free() one. Strings the library returns are
 * owned by the library: a list's strings live until vantor_list_free, vantor_last_error's
 * until the next call on the same thread, vantor_error_name's for ever. Input strings are
 * only read during the call.
 *
 * Threads: a disk is used from one thread at a time. A job runs on a worker thread of its
 * own and calls the callbacks there, never on the thread that started it, one at a time,
 * in order: progress (each new whole percent, rising), then exactly one completion. A
 * callback may call vantor_job_abort, vantor_job_done and vantor_job_percent, not
 * vantor_job_wait or vantor_job_free.
 *
 * Calling convention: VANTOR_CALL is __cdecl on Windows (the only convention on x64;
 * on 32-bit x86 declare the callbacks and P/Invoke imports Cdecl) and the default on
 * other systems. On Windows the DLL exports the functions under their plain names.
 */
#ifndef VANTOR_C_H
#define VANTOR_C_H

#include <stddef.h>

#if defined(_WIN32)
#if defined(VANTOR_BUILDING_LIBRARY)
#define VANTOR_C_API __declspec(dllexport)
#elif defined(VANTOR_STATIC)
#define VANTOR_C_API
#else
#define VANTOR_C_API __declspec(dllimport)
#endif
#define VANTOR_CALL __cdecl
#else
#define VANTOR_C_API __attribute__((visibility("default")))
#define VANTOR_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An unsigned 64-bit integer (byte counts). */
#if defined(_MSC_VER)
typedef unsigned __int64 vantor_u64;
#elif defined(__GNUC__)
__extension__ typedef unsigned long long vantor_u64;
#else
typedef unsigned long long vantor_u64;
#endif

/* The codes of VantorErrorCodes, value for value. */
enum vantor_error {
  VANTOR_OK = 0,
  VANTOR_ERR_GENERAL = 1,
  VANTOR_ERR_DISMOUNT_FAILED = 2,
  VANTOR_ERR_MOUNT_FAILED = 3,
  VANTOR_ERR_DISK_ACCESS = 4,
  VANTOR_ERR_VERIFY_MISMATCH = 5,
  VANTOR_ERR_FILE_ACCESS = 6,
  VANTOR_ERR_VOLUME_TOO_LARGE = 7,
  VANTOR_ERR_VOLUME_EXCEEDS_DRIVE = 8,
  VANTOR_ERR_MEDIA_CHANGED = 9,
  VANTOR_ERR_UNSUPPORTED_FILE_SYSTEM = 10,
  VANTOR_ERR_INVALID_IMAGE_FILE = 11,
  VANTOR_ERR_INCOMPATIBLE_IMAGE = 12,
  VANTOR_ERR_INVALID_BOOT_LOADER = 13,
  /* 14 is not used. */
  VANTOR_ERR_UNSUPPORTED_SECTOR_SIZE = 15,
  VANTOR_ERR_ABORTED = 16,
  VANTOR_ERR_INVALID_ARGUMENT = 17
};

/* The symbolic name of a code ("ERR_DISK_ACCESS"), or "ERR_UNKNOWN". Static text. */
VANTOR_C_API const char* VANTOR_CALL vantor_error_name(int code);
/* The message of the last failed synchronous call on this thread ("" when none). Valid
 * until the next call into the library on this thread. */
VANTOR_C_API const char* VANTOR_CALL vantor_last_error(void);

/* --- Disks ------------------------------------------------------------------------ */
typedef struct vantor_disk vantor_disk;

/* Opens a drive by the locator the drive listing gives (read and write). *out is set
 * only on success; close it with vantor_disk_close. */
VANTOR_C_API int VANTOR_CALL vantor_open_drive(const char* locator_utf8, vantor_disk** out);
/* Opens an ordinary file as a disk of `sector_size`-byte sectors. With `create` non-zero
 * a missing file is made; a non-zero `size_bytes` makes the file exactly that long
 * (extended with zeros or cut), 0 takes the file's own size. A relative path is taken
 * from the running program's folder, not the current one: pass absolute paths. */
VANTOR_C_API int VANTOR_CALL vantor_open_disk_file(const char* path_utf8, unsigned sector_size,
                                                   vantor_u64 size_bytes, int create, vantor_disk** out);
/* Closes the caller's handle (null is ignored). A job started on the disk keeps the disk
 * open until the job is freed. */
VANTOR_C_API void VANTOR_CALL vantor_disk_close(vantor_disk* disk);
VANTOR_C_API vantor_u64 VANTOR_CALL vantor_disk_size(const vantor_disk* disk);
VANTOR_C_API unsigned VANTOR_CALL vantor_disk_sector_size(const vantor_disk* disk);
/* Moves `count` whole sectors from `first_sector` to or from `buffer`, which holds
 * count * sector size bytes. A short transfer is VANTOR_ERR_DISK_ACCESS. A write goes
 * straight to the medium: a drive's mounted volumes are not taken from the system first
 * (the jobs below do that), so it is meant for disk files. */
VANTOR_C_API int VANTOR_CALL vantor_disk_read(const vantor_disk* disk, unsigned first_sector, unsigned count,
                                              void* buffer);
VANTOR_C_API int VANTOR_CALL vantor_disk_write(vantor_disk* disk, unsigned first_sector, unsigned count,
                                               const void* buffer);

/* --- The drive listing -------------------------------------------------------------- */
/* The flags of vantor_list_drives, or-ed together, as the C++ DiskDevice::ENUM_... flags.
 * Without VANTOR_ENUM_ALL_KINDS a drive is listed only when the flag of its kind is set. */
#define VANTOR_ENUM_FLOPPIES 0x01u
#define VANTOR_ENUM_INTERNAL 0x02u
#define VANTOR_ENUM_USB 0x04u
#define VANTOR_ENUM_CARDS 0x08u
#define VANTOR_ENUM_ALL_KINDS 0x10u
#define VANTOR_ENUM_DROP_REMOVABLE 0x20u
#define VANTOR_ENUM_DROP_FIXED 0x40u

typedef struct vantor_drive_list vantor_drive_list;

/* The machine's drives that pass `flags` and, when not 0, have `sector_size`-byte
 * sectors. Each drive is opened to be described; a drive that cannot be opened fails
 * the listing. *out is set only on success; free it with vantor_list_free. */
VANTOR_C_API int VANTOR_CALL vantor_list_drives(unsigned flags, unsigned sector_size, vantor_drive_list** out);
VANTOR_C_API void VANTOR_CALL vantor_list_free(vantor_drive_list* list);
VANTOR_C_API int VANTOR_CALL vantor_list_count(const vantor_drive_list* list);
/* Entry `index` (0 .. count-1); strings are UTF-8 owned by the list, "" / 0 for an index
 * out of range. The locator opens the drive with vantor_open_drive. */
VANTOR_C_API const char* VANTOR_CALL vantor_list_locator(const vantor_drive_list* list, int index);
VANTOR_C_API const char* VANTOR_CALL vantor_list_text(const vantor_drive_list* list, int index);
VANTOR_C_API vantor_u64 VANTOR_CALL vantor_list_size(const vantor_drive_list* list, int index);
VANTOR_C_API unsigned VANTOR_CALL vantor_list_sector_size(const vantor_drive_list* list, int index);

/* --- Imaging jobs ------------------------------------------------------------------- */
typedef struct vantor_job vantor_job;
/* Called on the job's worker thread; either callback may be null. `message_utf8` is
 * valid during the call only ("" on success). An abort completes with VANTOR_ERR_ABORTED. */
typedef void(VANTOR_CALL* vantor_progress_fn)(void* user, int percent);
typedef void(VANTOR_CALL* vantor_done_fn)(void* user, int error_code, const char* message_utf8);

/* Each start returns at once with *out set to a running job, or fails with a code and
 * no job: restore and verify first check the image against the disk on the caller's
 * thread (VANTOR_ERR_INVALID_IMAGE_FILE, _INCOMPATIBLE_IMAGE, _VOLUME_TOO_LARGE). Every
 * job uses the streaming transfer mode. The disk must not be used until the job is done.
 *
 * Capture writes the used sectors of the disk's volumes into a new image file: with
 * `every_volume` any layout (MBR, GPT, a whole-drive file system; unknown volumes whole),
 * otherwise only an MBR of FAT16/FAT32 volumes. */
VANTOR_C_API int VANTOR_CALL vantor_capture(vantor_disk* disk, const char* image_path_utf8, int every_volume,
                                            vantor_progress_fn progress, vantor_done_fn done, void* user,
                                            vantor_job** out);
/* Capture into a compressed image (zstd frames with a seek table, read in place by every
 * call that takes an image) at `level` 1 (fastest) to 19 (smallest); 3 is a good
 * default. VANTOR_ERR_INVALID_ARGUMENT for another level, and from a build of the
 * library that cannot compress. */
VANTOR_C_API int VANTOR_CALL vantor_capture_compressed(vantor_disk* disk, const char* image_path_utf8,
                                                       int every_volume, int level, vantor_progress_fn progress,
                                                       vantor_done_fn done, void* user, vantor_job** out);
/* Writes an image onto the disk, then (when `verify`) reads every written chunk back. A
 * GPT's backup table is made at the disk's own end, and old file-system and partition
 * table signatures that the image does not overwrite are erased before the job ends. */
VANTOR_C_API int VANTOR_CALL vantor_restore(vantor_disk* disk, const char* image_path_utf8, int verify,
                                            vantor_progress_fn progress, vantor_done_fn done, void* user,
                                            vantor_job** out);
/* Compares the disk with an image without writing; a difference is VANTOR_ERR_VERIFY_MISMATCH. */
VANTOR_C_API int VANTOR_CALL vantor_verify(vantor_disk* disk, const char* image_path_utf8,
                                           vantor_progress_fn progress, vantor_done_fn done, void* user,
                                           vantor_job** out);
/* Writes zeros over the whole disk. */
VANTOR_C_API int VANTOR_CALL vantor_zero(vantor_disk* disk, vantor_progress_fn progress, vantor_done_fn done,
                                         void* user, vantor_job** out);

/* Returns once the completion callback has returned. */
VANTOR_C_API void VANTOR_CALL vantor_job_wait(vantor_job* job);
/* Asks the job to stop at its next chunk; it then completes with VANTOR_ERR_ABORTED. */
VANTOR_C_API void VANTOR_CALL vantor_job_abort(vantor_job* job);
/* Non-zero once the completion callback has returned. */
VANTOR_C_API int VANTOR_CALL vantor_job_done(const vantor_job* job);
VANTOR_C_API int VANTOR_CALL vantor_job_percent(const vantor_job* job);
/* The job's outcome: 0 while it runs or after a success, else its code; the message is
 * copied into `buf` (`size` bytes, always terminated, cut to fit) when `buf` is not null. */
VANTOR_C_API int VANTOR_CALL vantor_job_error(const vantor_job* job, char* buf, size_t size);
/* Waits for the job, then frees it (null is ignored). */
VANTOR_C_API void VANTOR_CALL vantor_job_free(vantor_job* job);

/* --- Images and partition tables ------------------------------------------------------ */
struct vantor_image_info {
  vantor_u64 required_capacity; /* bytes a target disk must hold */
  unsigned sector_size;
  unsigned major_version;
  unsigned minor_version;
};
/* Reads an image file's header; VANTOR_ERR_INVALID_IMAGE_FILE for a missing, short or
 * invalid file, `*out` then untouched. */
VANTOR_C_API int VANTOR_CALL vantor_image_info(const char* image_path_utf8, struct vantor_image_info* out);

/* One entry of the MBR in sector 0 (type 0: an empty entry). */
struct vantor_partition {
  unsigned char type;
  unsigned char bootable; /* 1 when the entry is marked active (0x80) */
  unsigned start_lba;
  unsigned sector_count;
};
#define VANTOR_MBR_ENTRIES 4
/* Fills out[0 .. min(max, VANTOR_MBR_ENTRIES) - 1] with the table's entries in order,
 * empty ones included. Disks with sectors under 512 bytes: VANTOR_ERR_UNSUPPORTED_SECTOR_SIZE. */
VANTOR_C_API int VANTOR_CALL vantor_partitions(const vantor_disk* disk, struct vantor_partition* out, int max);

#ifdef __cplusplus
}
#endif

#endif /* VANTOR_C_H */
