/* libquorvane: Quorvane's signature trailer for other programs and languages.
 *
 * A signed file is the original bytes followed by one trailer that carries a text. The library
 * signs, checks and strips files named by path, open descriptors, streams and bytes in memory,
 * with the same care as quorvane-cli: a signed copy on disk appears whole or not at all.
 *
 * Conventions: texts are UTF-8 and stored exactly as given (Quorvane's programs store line
 * breaks as CR LF); every function returns a quorvane_status; after a failure,
 * quorvane_last_error() tells why in words, for the calling thread. Memory the library hands
 * out is released with quorvane_free(). Nothing of C++ crosses this header. */
#ifndef QUORVANE_H
#define QUORVANE_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(QUORVANE_BUILDING)
#define QUORVANE_API __declspec(dllexport)
#elif defined(__GNUC__)
#define QUORVANE_API __attribute__((visibility("default")))
#else
#define QUORVANE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define QUORVANE_VERSION_MAJOR 1
#define QUORVANE_VERSION_MINOR 0
#define QUORVANE_VERSION_PATCH 1

typedef enum quorvane_status {
    QUORVANE_OK = 0,
    QUORVANE_NOT_SIGNED = 1,       /* the file holds no valid trailer */
    QUORVANE_ALREADY_SIGNED = 2,   /* a signed file is not signed again */
    QUORVANE_NEED_MORE = 3,        /* quorvane_check_tail: more of the file's last bytes */
    QUORVANE_INVALID_ARGUMENT = 4, /* a null pointer or an unknown flag */
    QUORVANE_INVALID_TEXT = 5,     /* empty, not UTF-8, or over 32767 UTF-16 code units */
    QUORVANE_CANNOT_READ = 6,      /* the source cannot be opened or read */
    QUORVANE_CANNOT_WRITE = 7,     /* the output cannot be created or written */
    QUORVANE_OUTPUT_EXISTS = 8,    /* kept, as QUORVANE_REPLACE was not given */
    QUORVANE_NO_MEMORY = 9,
    QUORVANE_FAILED = 10 /* anything else; the message says what */
} quorvane_status;

/* Flags of the functions that write files. */
#define QUORVANE_REPLACE 1 /* an existing output is replaced (once the new one is complete) */

/* The most bytes a trailer occupies: 4 x 32767 + 16. */
#define QUORVANE_MAX_TRAILER_BYTES 131084

/* "1.0.1", and 10001 for 1.0.1. */
QUORVANE_API const char* quorvane_version(void);
QUORVANE_API unsigned quorvane_version_number(void);

/* The status's name in words ("not signed"); never null. */
QUORVANE_API const char* quorvane_status_text(int status);
/* Why the calling thread's last failed call failed, in words, with the system's reason where
 * it gave one; "" after a success. Valid until the thread's next call. */
QUORVANE_API const char* quorvane_last_error(void);

/* Releases memory the library handed out; null is fine. */
QUORVANE_API void quorvane_free(void* memory);

/* Files by path. sign writes `target`: `source`'s bytes and a trailer seeded from the clock; a
 * signed source is refused. strip writes `source` without its trailer. The output keeps the
 * source's permission bits and appears whole or not at all; an existing one is kept unless
 * QUORVANE_REPLACE. check gives the text in *text (UTF-8, freed with quorvane_free). Only
 * regular files are read. */
QUORVANE_API int quorvane_sign_file(const char* source, const char* target, const char* text,
                                    int flags);
QUORVANE_API int quorvane_check_file(const char* path, char** text);
QUORVANE_API int quorvane_strip_file(const char* source, const char* target, int flags);

/* Open descriptors, read to their end from where they stand (pipes and sockets too). The
 * output gets everything but the last QUORVANE_MAX_TRAILER_BYTES as the input arrives; on a
 * refusal or a failure the rest never comes. The descriptors stay open. */
QUORVANE_API int quorvane_sign_fd(int input, int output, const char* text);
QUORVANE_API int quorvane_check_fd(int input, char** text);
QUORVANE_API int quorvane_strip_fd(int input, int output);

/* Bytes in memory. sign gives the signed bytes in *signed_data (freed with quorvane_free);
 * strip gives the length of the unsigned part, the bytes before the trailer. */
QUORVANE_API int quorvane_sign_memory(const void* data, size_t size, const char* text,
                                      void** signed_data, size_t* signed_size);
QUORVANE_API int quorvane_check_memory(const void* data, size_t size, char** text);
QUORVANE_API int quorvane_strip_memory(const void* data, size_t size, size_t* unsigned_size);

/* The trailer carrying `text` with the code table of `seconds` (the signing time). */
QUORVANE_API int quorvane_make_trailer(const char* text, uint32_t seconds, void** trailer,
                                       size_t* trailer_size);

/* A checker that needs only a file's last bytes (a range read of a remote object): `tail` is
 * the last `tail_size` bytes of a file of `file_size` bytes (-1 when not known). It gives
 * QUORVANE_OK with *text, QUORVANE_NOT_SIGNED, or QUORVANE_NEED_MORE with the number of last
 * bytes that settle it in *needed (then call again with them). The last
 * QUORVANE_MAX_TRAILER_BYTES bytes, or a whole shorter file, always settle it. */
QUORVANE_API int quorvane_check_tail(const void* tail, size_t tail_size, int64_t file_size,
                                     char** text, size_t* needed);

/* An incremental signer: feed it the bytes as they go out, then append the trailer that finish
 * gives. finish refuses bytes that already end in a trailer (QUORVANE_ALREADY_SIGNED). It keeps
 * only the last QUORVANE_MAX_TRAILER_BYTES bytes fed. */
typedef struct quorvane_signer quorvane_signer;
QUORVANE_API int quorvane_signer_new(const char* text, quorvane_signer** signer);
QUORVANE_API int quorvane_signer_update(quorvane_signer* signer, const void* data, size_t size);
QUORVANE_API int quorvane_signer_finish(quorvane_signer* signer, void** trailer,
                                        size_t* trailer_size);
QUORVANE_API void quorvane_signer_free(quorvane_signer* signer);

/* A batch as quorvane-cli signs it: each source's copy `<name>_signed<ext>` in `output_folder`
 * (below it in `subfolder` when not null), with the same checks, order and messages. Each
 * message comes to `report` as quorvane-cli writes it, with the index of its source (-1 for
 * the summary): refusals and failures, and the summary last. *signed_count counts the copies
 * written. Flags: QUORVANE_REPLACE; QUORVANE_KEEP_QUIETLY keeps existing outputs without a
 * message. `jobs` files are read and copied at once (0: one). */
#define QUORVANE_KEEP_QUIETLY 2
typedef struct quorvane_item {
    const char* source;
    const char* subfolder;
} quorvane_item;
typedef void (*quorvane_report_fn)(void* context, ptrdiff_t index, int status, const char* message);
QUORVANE_API int quorvane_sign_batch(const quorvane_item* items, size_t count,
                                     const char* output_folder, const char* text, int flags,
                                     unsigned jobs, quorvane_report_fn report, void* context,
                                     size_t* signed_count);

/* The summary of a run that wrote `signed_count` copies ("12 files encrypted succesfully!"),
 * freed with quorvane_free. */
QUORVANE_API int quorvane_sign_summary(size_t signed_count, char** text);

/* The regular files below `folder` as quorvane-cli sign -r takes them, in the order of their
 * paths, each with the subfolder its copy goes to; `output_folder` (may be null) is left out.
 * What is not a regular file or cannot be listed comes to `problem` as quorvane-cli reports
 * it. Either callback may be null. */
typedef void (*quorvane_file_fn)(void* context, const char* path, const char* subfolder);
typedef void (*quorvane_problem_fn)(void* context, const char* message);
QUORVANE_API int quorvane_list_files(const char* folder, const char* output_folder,
                                     quorvane_file_fn file, quorvane_problem_fn problem,
                                     void* context);

#ifdef __cplusplus
}
#endif

#endif
