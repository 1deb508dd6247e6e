/* tests/c/capi_test.c
 * The C interface from a C program linked only against the shared library: a disk file
 * with an MBR and one volume of patterned sectors is captured, restored with verification
 * into a second disk file and verified; the callbacks must report rising percentages and
 * one completion, and the two files must be equal. Failures come back as codes and
 * messages: a missing image, and a verify after the copy was zeroed. Everything lives in
 * a folder of its own under the system's temporary folder (VANTOR_TEST_DIR overrides it).
 */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L
#endif
#include <libVantor/vantor_c.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <direct.h>
#include <windows.h>
#define rmdir _rmdir
#else
#include <unistd.h>
#endif

#define SECTOR 512u
#define SECTORS 16384u /* 8 MiB */
#define VOLUME_START 2048u

static int failures = 0;

static void check(int ok, const char* what, int line) {
  if (!ok) { fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, line, what); ++failures; }
}
static void check_ok(int rc, const char* call, int line) {
  if (rc == VANTOR_OK) return;
  fprintf(stderr, "%s:%d: %s: %s: %s\n", __FILE__, line, call, vantor_error_name(rc), vantor_last_error());
  ++failures;
}
#define CHECK(cond) check((cond) != 0, #cond, __LINE__)
#define CHECK_OK(call) check_ok((call), #call, __LINE__)

/* What one job's callbacks saw. */
struct record {
  int progress_calls, last_percent, rising, completions, code;
  char message[512];
};

static void VANTOR_CALL on_progress(void* user, int percent) {
  struct record* r = (struct record*)user;
  if (percent < r->last_percent || percent > 100) r->rising = 0;
  r->last_percent = percent;
  ++r->progress_calls;
}

static void VANTOR_CALL on_done(void* user, int code, const char* message) {
  struct record* r = (struct record*)user;
  ++r->completions;
  r->code = code;
  strncpy(r->message, message, sizeof r->message - 1);
}

/* Waits for a started job and frees it; answers the code its one completion carried, which
 * the job's error gives too, with the same message. */
static int finish(const char* what, int rc, vantor_job** started, struct record* r) {
  vantor_job* job = *started;
  char message[512];
  if (rc != VANTOR_OK) {
    fprintf(stderr, "%s did not start: %s: %s\n", what, vantor_error_name(rc), vantor_last_error());
    ++failures;
    return rc;
  }
  vantor_job_wait(job);
  CHECK(vantor_job_done(job));
  CHECK(vantor_job_error(job, message, sizeof message) == r->code && strcmp(message, r->message) == 0);
  vantor_job_free(job);
  if (r->completions != 1 || !r->rising) {
    fprintf(stderr, "%s: %d completions, percentages %s\n", what, r->completions, r->rising ? "rising" : "not rising");
    ++failures;
  }
  return r->code;
}

static void fresh(struct record* r) {
  memset(r, 0, sizeof *r);
  r->rising = 1;
}
/* Starts a job with fresh callbacks (CALL ends with JOB_ARGS) and runs it to its end. */
#define JOB_ARGS on_progress, on_done, &r, &job
#define RUN(what, call) (fresh(&r), finish((what), (call), &job, &r))

static int files_equal(const char* a, const char* b) {
  FILE* fa = fopen(a, "rb");
  FILE* fb = fopen(b, "rb");
  int equal = fa && fb;
  static unsigned char ba[65536], bb[65536];
  while (equal) {
    size_t na = fread(ba, 1, sizeof ba, fa), nb = fread(bb, 1, sizeof bb, fb);
    if (na != nb || memcmp(ba, bb, na) != 0) equal = 0;
    if (na == 0) break;
  }
  if (fa) fclose(fa);
  if (fb) fclose(fb);
  return equal;
}

/* A new folder of the test's own; the path is written into `dir`. */
static int make_temp_dir(char* dir, size_t size) {
  const char* base = getenv("VANTOR_TEST_DIR");
#if defined(_WIN32)
  char temp[MAX_PATH + 1];
  unsigned attempt;
  if (!base) {
    DWORD n = GetTempPathA(sizeof temp, temp);
    if (n == 0 || n > sizeof temp) return 0;
    if (temp[n - 1] == '\\') temp[n - 1] = '\0';
    base = temp;
  }
  for (attempt = 0; attempt < 100; ++attempt) {
    snprintf(dir, size, "%s/vantor-capi-%lu-%u", base, (unsigned long)GetCurrentProcessId(), attempt);
    if (CreateDirectoryA(dir, NULL)) return 1;
  }
  return 0;
#else
  if (!base) base = getenv("TMPDIR");
  if (!base) base = "/tmp";
  snprintf(dir, size, "%s/vantor-capi-XXXXXX", base);
  return mkdtemp(dir) != NULL;
#endif
}

/* Sector 0: an MBR with one bootable entry of type 0x83 from VOLUME_START to the end. */
static void write_source(vantor_disk* disk) {
  static unsigned char buf[64 * SECTOR];
  unsigned char* e = buf + 446;
  unsigned start = VOLUME_START, count = SECTORS - VOLUME_START, i;
  memset(buf, 0, sizeof buf);
  e[0] = 0x80;
  e[4] = 0x83;
  for (i = 0; i < 4; ++i) {
    e[8 + i] = (unsigned char)(start >> (8 * i));
    e[12 + i] = (unsigned char)(count >> (8 * i));
  }
  buf[510] = 0x55;
  buf[511] = 0xAA;
  CHECK_OK(vantor_disk_write(disk, 0, 1, buf));
  for (i = 0; i < sizeof buf; ++i) buf[i] = (unsigned char)(i * 7 + 1);
  CHECK_OK(vantor_disk_write(disk, VOLUME_START, 64, buf));
  CHECK_OK(vantor_disk_write(disk, SECTORS - 64, 64, buf));
}

int main(void) {
  char dir[600], source[700], copy[700], image[700], missing[700], packed[700];
  vantor_disk *src = NULL, *dst = NULL, *none = NULL;
  vantor_job* job = NULL;
  struct record r;
  struct vantor_partition parts[VANTOR_MBR_ENTRIES];
  struct vantor_image_info info;
  int rc;

  if (!make_temp_dir(dir, sizeof dir)) {
    fprintf(stderr, "cannot make a temporary folder\n");
    return 1;
  }
  snprintf(source, sizeof source, "%s/source.disk", dir);
  snprintf(copy, sizeof copy, "%s/copy.disk", dir);
  snprintf(image, sizeof image, "%s/source.img", dir);
  snprintf(missing, sizeof missing, "%s/missing.img", dir);

  CHECK_OK(vantor_open_disk_file(source, SECTOR, (vantor_u64)SECTORS * SECTOR, 1, &src));
  CHECK_OK(vantor_open_disk_file(copy, SECTOR, (vantor_u64)SECTORS * SECTOR, 1, &dst));
  if (!src || !dst) return 1;
  CHECK(vantor_disk_size(src) == (vantor_u64)SECTORS * SECTOR);
  CHECK(vantor_disk_sector_size(src) == SECTOR);
  write_source(src);
  CHECK_OK(vantor_partitions(src, parts, VANTOR_MBR_ENTRIES));
  CHECK(parts[0].type == 0x83 && parts[0].bootable == 1 && parts[0].start_lba == VOLUME_START &&
        parts[0].sector_count == SECTORS - VOLUME_START && parts[1].type == 0);

  CHECK(RUN("capture", vantor_capture(src, image, 1, JOB_ARGS)) == VANTOR_OK);
  CHECK(r.progress_calls > 0 && r.last_percent == 100);
  CHECK_OK(vantor_image_info(image, &info));
  CHECK(info.sector_size == SECTOR && info.required_capacity == (vantor_u64)SECTORS * SECTOR);

  CHECK(RUN("restore", vantor_restore(dst, image, 1, JOB_ARGS)) == VANTOR_OK);
  CHECK(RUN("verify", vantor_verify(dst, image, JOB_ARGS)) == VANTOR_OK);
  CHECK(files_equal(source, copy));

  /* Failures: a missing image is refused at the start, with a message. */
  job = NULL;
  rc = vantor_restore(dst, missing, 1, JOB_ARGS);
  CHECK(rc != VANTOR_OK && job == NULL && vantor_last_error()[0] != '\0');
  printf("restore of a missing image: %s: %s\n", vantor_error_name(rc), vantor_last_error());
  CHECK(vantor_image_info(missing, &info) == VANTOR_ERR_INVALID_IMAGE_FILE);
  CHECK(vantor_open_disk_file(missing, SECTOR, 0, 0, &none) == VANTOR_ERR_FILE_ACCESS && none == NULL);

  /* ... and a verify of a zeroed copy ends with a mismatch, reported by its completion. */
  CHECK(RUN("zero", vantor_zero(dst, JOB_ARGS)) == VANTOR_OK);
  CHECK(RUN("verify", vantor_verify(dst, image, JOB_ARGS)) == VANTOR_ERR_VERIFY_MISMATCH && r.message[0] != '\0');
  printf("verify of a zeroed copy: %s: %s\n", vantor_error_name(r.code), r.message);

  /* A compressed capture is restored as the plain one is. */
  snprintf(packed, sizeof packed, "%s/packed.vqi", dir);
  CHECK(RUN("compressed capture", vantor_capture_compressed(src, packed, 1, 3, JOB_ARGS)) == VANTOR_OK);
  CHECK(RUN("restore", vantor_restore(dst, packed, 1, JOB_ARGS)) == VANTOR_OK);
  CHECK(files_equal(source, copy));
  CHECK(vantor_capture_compressed(src, packed, 1, 20, JOB_ARGS) == VANTOR_ERR_INVALID_ARGUMENT);

  vantor_disk_close(src);
  vantor_disk_close(dst);
  remove(packed);
  remove(source);
  remove(copy);
  remove(image);
  rmdir(dir);
  printf("%s\n", failures ? "FAILED" : "passed");
  return failures ? 1 : 0;
}
