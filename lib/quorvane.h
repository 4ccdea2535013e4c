/* libquorvane: Quorvane's signature trailer for other programs and languages.
 *
 * A signed file is the original bytes followed by one trailer that carries a text. The library
 * signs, checks and strips files named by path, open descriptors, streams and bytes in memory,
 * with the same care as quorvane-cli: a signed copy on disk appears whole or not at all.
 *
 * Conventions: every function returns a quorvane_status; after a failure,
 * quorvane_last_error() tells why in words, for the calling thread. Memory the library hands
 * out is released with quorvane_free(). Nothing of C++ crosses this header.
 *
 * Texts are stored exactly as given (Quorvane's programs store line breaks as CR LF). A text
 * is 1 to QUORVANE_MAX_TEXT_UNITS UTF-16 code units, any of them: U+0000 and unpaired
 * surrogates included. The functions of version 1.0 take and give NUL-terminated UTF-8, so a
 * text they give ends at its first U+0000, and an unpaired surrogate, which UTF-8 cannot hold,
 * comes out as U+FFFD. For exact texts use the functions of version 1.1 (symbol version
 * QUORVANE_1.1; the ones ending in _n): they take and give a text with its size in bytes, in
 * WTF-8, which is UTF-8 in which an unpaired surrogate is the three-byte form of its code unit
 * (U+D800 is ED A0 80, U+DFFF is ED BF BF), as Python's "surrogatepass" error handler writes
 * and reads it; U+0000 is the byte 00. Every text travels so exactly, both ways. (The three-byte
 * forms of a high and a low surrogate one after the other are read as that pair, the only text
 * they can stand for, and the pair comes back in its four-byte form.) A text given out is
 * followed by a 00 byte that its size does not count, so that it may also be used as a C
 * string. The version macros below are the release's; the symbol versions tell which
 * functions a library offers. */
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
    QUORVANE_INVALID_ARGUMENT = 4, /* a null pointer, an unknown flag or contradicting ones */
    QUORVANE_INVALID_TEXT = 5,     /* empty, not UTF-8 (WTF-8 for the _n functions), or over
                                      32767 UTF-16 code units */
    QUORVANE_CANNOT_READ = 6,      /* the source cannot be opened or read */
    QUORVANE_CANNOT_WRITE = 7,     /* the output cannot be created or written */
    QUORVANE_OUTPUT_EXISTS = 8,    /* kept, as QUORVANE_REPLACE was not given */
    QUORVANE_NO_MEMORY = 9,
    QUORVANE_FAILED = 10 /* anything else; the message says what */
} quorvane_status;

/* Flags of the functions that write files. */
#define QUORVANE_REPLACE 1 /* an existing output is replaced (once the new one is complete) */

/* The longest text, in UTF-16 code units, and the most bytes a trailer occupies:
 * 4 x 32767 + 16. */
#define QUORVANE_MAX_TEXT_UNITS 32767
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

/* Files by path, through the engine of quorvane-cli sign and strip. sign writes `target`:
 * `source`'s bytes and a trailer seeded from the clock; a signed source is refused. strip
 * writes `source` without its trailer. The output keeps the source's permission bits (and on
 * Windows its Mark of the Web) and appears whole or not at all; an existing one is kept unless
 * QUORVANE_REPLACE (QUORVANE_OUTPUT_EXISTS), and one that may not be written (read-only) is
 * refused even then (QUORVANE_CANNOT_WRITE), as is a target that is the source itself. A
 * source that changes while it is copied fails (QUORVANE_CANNOT_READ) and nothing is written.
 * check gives the text in *text (UTF-8, freed with quorvane_free). Only regular files are
 * read. The only flag of sign and strip is QUORVANE_REPLACE. */
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
 * bytes that settle it in *needed: called again with exactly that many last bytes (or the whole
 * file, with its size, when it is shorter), it answers QUORVANE_OK or QUORVANE_NOT_SIGNED,
 * never QUORVANE_NEED_MORE. With fewer than 16 bytes it asks for
 * min(file_size, QUORVANE_MAX_TRAILER_BYTES) (QUORVANE_MAX_TRAILER_BYTES when the size is not
 * known); with 16 or more it asks at most once, for the trailer's whole length. So a file is
 * settled by at most two reads: its last 16 bytes or more, then the `needed` ones. */
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
 * the summary): refusals and failures, warnings about sources of a kind whose own tools
 * object to a signed copy (signed all the same: status QUORVANE_OK), and the summary last.
 * *signed_count counts the copies written. Flags: QUORVANE_REPLACE; QUORVANE_KEEP_QUIETLY keeps
 * existing outputs without a message. The two contradict each other: flags holding both are
 * refused (QUORVANE_INVALID_ARGUMENT) and nothing is written, here and in every function that
 * takes flags. `jobs` files are read and copied at once (0: one; at most
 * QUORVANE_MAX_JOBS). */
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
 * it, in its place among the files (quorvane-cli's lines come in that order). Each folder is
 * listed as the walk comes to it: the callbacks come while the walk goes on. Either callback
 * may be null. */
typedef void (*quorvane_file_fn)(void* context, const char* path, const char* subfolder);
typedef void (*quorvane_problem_fn)(void* context, const char* message);
QUORVANE_API int quorvane_list_files(const char* folder, const char* output_folder,
                                     quorvane_file_fn file, quorvane_problem_fn problem,
                                     void* context);

/* ---- Version 1.1 (symbol version QUORVANE_1.1): exact texts, the signing time, batches ----
 *
 * Each _n function does what its 1.0 namesake does, with texts in WTF-8 with their size (see
 * the top of this header): `text`, `text_size` in; *text (followed by a 00 byte, freed with
 * quorvane_free) and *text_size out. The checks also give the signing time the trailer records
 * in *signed_at: seconds since 1970 UTC, the signer's clock (it proves nothing). On entry every
 * output that is not null is cleared (null, 0, -1 for the time), so after any status but
 * QUORVANE_OK they hold nothing. Any of text, text_size and signed_at may be null. */
QUORVANE_API int quorvane_sign_file_n(const char* source, const char* target, const char* text,
                                      size_t text_size, int flags);
QUORVANE_API int quorvane_check_file_n(const char* path, char** text, size_t* text_size,
                                       int64_t* signed_at);
QUORVANE_API int quorvane_sign_fd_n(int input, int output, const char* text, size_t text_size);
QUORVANE_API int quorvane_check_fd_n(int input, char** text, size_t* text_size, int64_t* signed_at);
QUORVANE_API int quorvane_sign_memory_n(const void* data, size_t size, const char* text,
                                        size_t text_size, void** signed_data, size_t* signed_size);
QUORVANE_API int quorvane_check_memory_n(const void* data, size_t size, char** text,
                                         size_t* text_size, int64_t* signed_at);
QUORVANE_API int quorvane_make_trailer_n(const char* text, size_t text_size, uint32_t seconds,
                                         void** trailer, size_t* trailer_size);
QUORVANE_API int quorvane_check_tail_n(const void* tail, size_t tail_size, int64_t file_size,
                                       char** text, size_t* text_size, int64_t* signed_at,
                                       size_t* needed);
QUORVANE_API int quorvane_signer_new_n(const char* text, size_t text_size,
                                       quorvane_signer** signer);
QUORVANE_API int quorvane_sign_batch_n(const quorvane_item* items, size_t count,
                                       const char* output_folder, const char* text,
                                       size_t text_size, int flags, unsigned jobs,
                                       quorvane_report_fn report, void* context,
                                       size_t* signed_count);

/* A signing time (seconds since 1970 UTC, 0 to 2^32 - 1) in ISO 8601 UTC, as quorvane-cli
 * check --json gives it: "2026-12-08T03:04:05Z"; freed with quorvane_free. */
QUORVANE_API int quorvane_time_text(int64_t seconds, char** text);

/* Files whose own programs object to bytes after their end (xz, gzip, MP3 and its end tags,
 * programs with an Authenticode signature, ...: the README's table). For such a file, *kind is
 * its kind's id ("xz", "signed-program") and *consequence what its programs do with a signed
 * copy ("xz will report the signed copy as corrupt"), both static; for any other file both are
 * null. Reads at most a few KiB of the file. QUORVANE_CANNOT_READ when it cannot be read. The
 * batches warn about such files (status QUORVANE_OK, quorvane-cli's "Warning: ..." line) and,
 * with QUORVANE_SKIP_KINDS, leave them out as refused ("... Left out."). */
#define QUORVANE_SKIP_KINDS 4
QUORVANE_API int quorvane_file_kind(const char* path, const char** kind, const char** consequence);

/* One file of quorvane_check_batch, valid during the call of the callback. */
typedef struct quorvane_check_result {
    size_t index;          /* the file's place in `paths` */
    int status;            /* QUORVANE_OK (signed), QUORVANE_NOT_SIGNED or QUORVANE_CANNOT_READ */
    const char* text;      /* signed: the text in WTF-8 with a 00 byte after it; else null */
    size_t text_size;      /* its size in bytes, without the 00 byte */
    int64_t signed_at;     /* signed: the signing time in seconds since 1970 UTC; else -1 */
    const char* reason;    /* cannot be read: why, as quorvane-cli says it; else null */
    const char* json_line; /* quorvane-cli check --json's line for the file, without line break */
} quorvane_check_result;
typedef void (*quorvane_check_fn)(void* context, const quorvane_check_result* result);

/* Checks the files at `paths` as quorvane-cli check does, `jobs` files read at once (0: one).
 * Each file's result comes to `check` (may be null) in the order of `paths`, on the calling
 * thread, whatever the number of jobs. *signed_count (may be null) counts the signed ones.
 * QUORVANE_OK when every file is signed; otherwise QUORVANE_CANNOT_READ when some file cannot
 * be read, else QUORVANE_NOT_SIGNED. */
QUORVANE_API int quorvane_check_batch(const char* const* paths, size_t count, unsigned jobs,
                                      quorvane_check_fn check, void* context, size_t* signed_count);

/* What quorvane-cli check -r takes for `path`: a folder stands for every entry below it, in
 * the order of their paths; anything else for itself. Each comes to `entry` in that order: a
 * file to check with a null `json_line`, or an entry that cannot be checked (not a regular
 * file, a folder that cannot be listed, a link to a folder below `path`) with the line
 * quorvane-cli check --json gives it. QUORVANE_CANNOT_READ when there was such an entry. */
typedef void (*quorvane_entry_fn)(void* context, const char* path, const char* json_line);
QUORVANE_API int quorvane_list_check_entries(const char* path, quorvane_entry_fn entry,
                                             void* context);

/* A batch as quorvane-cli strip runs it: each source's unsigned part into `output_folder`,
 * named without _signed, with the same checks, order and messages. Each source that is not
 * stripped comes to `report` with its index, a status (QUORVANE_CANNOT_READ,
 * QUORVANE_NOT_SIGNED, QUORVANE_OUTPUT_EXISTS, QUORVANE_CANNOT_WRITE, QUORVANE_FAILED) and
 * the line quorvane-cli writes after "quorvane-cli: " ("PATH: holds no signature, skipped").
 * Flags (QUORVANE_REPLACE or QUORVANE_KEEP_QUIETLY) and jobs as for quorvane_sign_batch; an
 * output written earlier in the same run is never replaced. *stripped_count (may be null)
 * counts the outputs written. QUORVANE_OK when every source was stripped (or its output kept
 * quietly), QUORVANE_FAILED otherwise. An output folder that is not an existing folder ends it
 * at once: QUORVANE_CANNOT_WRITE, with quorvane-cli's line for it ("Please select a valid
 * output folder.") to `report` with the index -1, as quorvane_sign_batch does. */
QUORVANE_API int quorvane_strip_batch(const char* const* sources, size_t count,
                                      const char* output_folder, int flags, unsigned jobs,
                                      quorvane_report_fn report, void* context,
                                      size_t* stripped_count);

/* ---- Version 1.1: errors as numbers, bytes into the caller's memory, texts of text files,
 * and batches planned in parts ---- */

/* The system's error number (errno: ENOENT, EACCES, ENOSPC, ...) behind the calling thread's last
 * failed call, when the system gave one; 0 after a success and for refusals of Quorvane's own
 * (not signed, already signed, a text that cannot be stored, not a regular file, a source that
 * changed while it was read). QUORVANE_OUTPUT_EXISTS gives EEXIST. */
QUORVANE_API int quorvane_last_errno(void);

/* quorvane_sign_memory_n into memory of the caller's: `data` and the trailer carrying `text`
 * (seeded from the clock) are written into `out`, which holds `out_size` bytes and must not
 * overlap `data`; *signed_size is their size. With `out` null nothing is written and
 * *signed_size tells the room needed, after the same checks (a signed `data` is refused,
 * QUORVANE_ALREADY_SIGNED). With less room than that: QUORVANE_INVALID_ARGUMENT, *signed_size
 * the room needed, nothing written. */
QUORVANE_API int quorvane_sign_memory_into_n(const void* data, size_t size, const char* text,
                                             size_t text_size, void* out, size_t out_size,
                                             size_t* signed_size);

/* The most bytes a text file can hold for the longest text: three UTF-8 bytes per UTF-16 code
 * unit, a byte order mark and one final line break (quorvane-cli --text-file reads no more, and
 * refuses a longer file). */
#define QUORVANE_MAX_TEXT_FILE_BYTES (3 * QUORVANE_MAX_TEXT_UNITS + 3 + 2)

/* The most files a batch reads and writes at once: more `jobs` are taken as this many. */
#define QUORVANE_MAX_JOBS 64

/* The text in the bytes of a text file, as quorvane-cli --text-file reads it: UTF-8 (a byte
 * order mark is skipped) or UTF-16 with its byte order mark (FF FE or FE FF); one line break at
 * the end is the file's, not the text's. *text in WTF-8 with its size (as the _n functions
 * give texts), line breaks as the file holds them. QUORVANE_INVALID_TEXT for anything else. */
QUORVANE_API int quorvane_text_from_file_bytes(const void* bytes, size_t size, char** text,
                                               size_t* text_size);

/* `text` (WTF-8) with every line break (CR LF, a lone CR, a lone LF) as CR LF, the way
 * Quorvane's programs store a text; *out in WTF-8 with its size. */
QUORVANE_API int quorvane_with_crlf(const char* text, size_t text_size, char** out,
                                    size_t* out_size);

/* What quorvane-cli sign -r takes for `path`: a folder stands for the regular files below it
 * (as quorvane_list_files gives them, `output_folder` left out), anything else for itself,
 * with an empty subfolder: its copy goes directly into the output folder, and a path that is
 * missing or cannot be read is refused by the batch with quorvane-cli's message. What the walk
 * skips comes to `problem` as quorvane-cli reports it (QUORVANE_CANNOT_READ when there was
 * some). Either callback may be null. */
QUORVANE_API int quorvane_list_sign_items(const char* path, const char* output_folder,
                                          quorvane_file_fn file, quorvane_problem_fn problem,
                                          void* context);

/* One item of a planned batch, valid during the call of the callback. */
typedef struct quorvane_planned_item {
    size_t index;       /* the item's place in `items` */
    const char* output; /* where its copy goes, as the batch names it */
    ptrdiff_t earlier;  /* the first earlier item whose copy goes there too, or -1: of such
                           items a batch signs at most one, and refuses the later ones */
    size_t part;        /* the part it runs in, from 0 */
} quorvane_planned_item;
typedef void (*quorvane_plan_fn)(void* context, const quorvane_planned_item* item);

/* Plans a batch of quorvane_sign_batch that runs in parts, each part its own batch (a task of a
 * cluster), before any part runs: parts of about `part_size` items (0: one part) such that
 * items whose copies or sources are the same file (two folders of one name below two trees;
 * a source that is a copy of the batch) run in one part, in their order. Each part's batch,
 * its items in the order of `items`, then gives exactly the outcomes and lines that one batch
 * of all the items gives, whatever ran before or runs beside it: the later of two sources of
 * one copy is refused as quorvane-cli refuses it ("Could not open file SRC for writing! (OUT
 * was written from EARLIER earlier in this run)") unless the earlier one fails, and no copy of
 * the batch replaces another. Each item comes to `plan` in order; *part_count (may be null)
 * counts the parts. Files are not opened; folders are resolved to compare paths. */
QUORVANE_API int quorvane_plan_sign_batch(const quorvane_item* items, size_t count,
                                          const char* output_folder, size_t part_size,
                                          quorvane_plan_fn plan, void* context, size_t* part_count);

/* ---- Version 1.2 (symbol version QUORVANE_1.2): walks that follow links when asked, and
 * streams and bytes judged by their kind ----
 *
 * The walks of folders report every link below the folder walked (to a file or a folder) and
 * follow none, as quorvane-cli sign -r and check -r do: whoever filled the tree must not get a
 * copy of another file of the caller's through a link. A link given as `folder` or `path`
 * itself is followed. The walks also report files named like Quorvane's unfinished copies
 * (".quorvane-*.tmp") instead of taking them (quorvane_list_check_entries gives them to check).
 * The _with functions do what their namesakes do; QUORVANE_FOLLOW_LINKS follows the links
 * below, as quorvane-cli -L does (a link to a folder that holds
 * it is reported as a loop). Messages (quorvane_last_error and the
 * lines given to callbacks) show control characters of names and texts as escapes ("\x1b");
 * paths and texts given as data are exact. */
#define QUORVANE_FOLLOW_LINKS 8
QUORVANE_API int quorvane_list_files_with(const char* folder, const char* output_folder, int flags,
                                          quorvane_file_fn file, quorvane_problem_fn problem,
                                          void* context);
QUORVANE_API int quorvane_list_sign_items_with(const char* path, const char* output_folder,
                                               int flags, quorvane_file_fn file,
                                               quorvane_problem_fn problem, void* context);
QUORVANE_API int quorvane_list_check_entries_with(const char* path, int flags,
                                                  quorvane_entry_fn entry, void* context);

/* Streams and bytes judged by their kind as the batches judge files (quorvane_file_kind): bytes
 * of a kind whose own programs object to a signed copy are signed all the same, and *kind (may
 * be null; cleared on entry) tells the kind: its id ("gzip") and what its programs do with a
 * signed copy, both static (two kinds at most, one known from the first bytes, another from
 * the last: the last). With QUORVANE_SKIP_KINDS (the only flag) such bytes are left out
 * instead: QUORVANE_FAILED, with *kind set. Bytes in memory are judged whole, after already
 * signed, before anything is written. A stream is judged as quorvane-cli judges standard input:
 * from its first bytes before any goes out to `output`, so a stream left out for them gets
 * nothing; from its last bytes (end tags, a VHD's footer) before the last
 * QUORVANE_MAX_TRAILER_BYTES and the trailer go out. The incremental signer judges the first
 * bytes when more than QUORVANE_MAX_TRAILER_BYTES have been fed (update fails then, before
 * keeping them, for bytes left out), the rest at finish; quorvane_signer_kind tells what it
 * found so far. Otherwise they do what quorvane_sign_fd_n, quorvane_sign_memory_into_n (into
 * the caller's memory; a null `out` asks for the size) and quorvane_signer_new_n do. */
typedef struct quorvane_kind {
    const char* id;          /* "gzip"; null for bytes of no such kind */
    const char* consequence; /* "gzip will report the signed copy as damaged"; or null */
} quorvane_kind;
QUORVANE_API int quorvane_sign_fd_with(int input, int output, const char* text, size_t text_size,
                                       int flags, quorvane_kind* kind);
QUORVANE_API int quorvane_sign_memory_with(const void* data, size_t size, const char* text,
                                           size_t text_size, int flags, void* out, size_t out_size,
                                           size_t* signed_size, quorvane_kind* kind);
QUORVANE_API int quorvane_signer_new_with(const char* text, size_t text_size, int flags,
                                          quorvane_signer** signer);
QUORVANE_API int quorvane_signer_kind(const quorvane_signer* signer, quorvane_kind* kind);

/* The text as quorvane-cli and the desktop program sign it from what a user typed or a text
 * file held (`text` in WTF-8): every line break as CR LF, then 1 to QUORVANE_MAX_TEXT_UNITS
 * UTF-16 code units, or QUORVANE_INVALID_TEXT ("the text is empty", "the text is longer than
 * 32767 UTF-16 code units"). *out in WTF-8 with its size. (1.2) */
QUORVANE_API int quorvane_text_to_sign(const char* text, size_t text_size, char** out,
                                       size_t* out_size);

/* ---- Version 1.3 (symbol version QUORVANE_1.3): a run cut into parts that run apart ----
 *
 * QUORVANE_NOT_RECURSIVE (a flag of quorvane_list_sign_items_with and
 * quorvane_list_check_entries_with, which refuse it before 1.3): a folder given is taken as
 * quorvane-cli without -r takes it, not walked: sign reports it ("DIR is a folder; -r signs the
 * files in it"), check gives it to be checked, as a file that cannot be read.
 *
 * quorvane_sign_batch_n for one part of a run whose parts run apart (the tasks of a cluster,
 * each its own batch) when an earlier part wrote outputs that this part's items may meet:
 * `written` lists them (`written_count` of them, each the output as the batch named it and
 * the source it was written from). None of them is replaced, and an item whose copy would go
 * to one is refused as in one batch of the whole run ("Could not open file SRC for writing!
 * (OUT was written from EARLIER earlier in this run)"). Outputs that no longer exist are
 * ignored. */
#define QUORVANE_NOT_RECURSIVE 16
typedef struct quorvane_written {
    const char* output;
    const char* source;
} quorvane_written;
QUORVANE_API int quorvane_sign_batch_after(const quorvane_item* items, size_t count,
                                           const char* output_folder, const char* text,
                                           size_t text_size, int flags, unsigned jobs,
                                           const quorvane_written* written, size_t written_count,
                                           quorvane_report_fn report, void* context,
                                           size_t* signed_count);
/* The same for quorvane_strip_batch: outputs in `written` are kept, and a source whose output
 * is one of them is not stripped ("... was written from EARLIER earlier in this run, kept"). */
QUORVANE_API int quorvane_strip_batch_after(const char* const* sources, size_t count,
                                            const char* output_folder, int flags, unsigned jobs,
                                            const quorvane_written* written, size_t written_count,
                                            quorvane_report_fn report, void* context,
                                            size_t* stripped_count);
/* Where quorvane_strip_batch puts the original of `source`: `output_folder` joined with its name
 * without _signed, in *output (freed with quorvane_free). */
QUORVANE_API int quorvane_strip_output(const char* source, const char* output_folder,
                                       char** output);

/* ---- Version 1.3: batches whose files come one at a time, with their results as they come
 * and the run's progress ----
 *
 * The _from functions run the batches of quorvane_sign_batch_after, quorvane_check_batch and
 * quorvane_strip_batch_after (the same checks, order, messages, flags, statuses and outputs
 * written earlier, `written` may be null when `written_count` is 0) over files that
 * `next` gives one at a time as the run comes to them, so that the run's memory stays the same
 * however many there are. `next` fills in the next item or path and answers 1, or 0 after the
 * last; what it gives must stay valid until its next call (or until the function returns). It
 * is called in order and never twice at once, but a run with several jobs may call it on a
 * thread of its own while the calling thread gives results, a few files ahead of them: it must
 * not touch what the result callbacks touch without a lock. A null source or path ends the run
 * with QUORVANE_INVALID_ARGUMENT.
 *
 * Results come to `report` (quorvane_sign_batch_n's and quorvane_strip_batch's lines, with the
 * index of their file in the order `next` gave it) or `check` as each file is done, on the
 * calling thread, before the next file's. `progress` (may be null) is told, on the calling
 * thread only, after each file's results and, while the calling thread copies a file (one job),
 * as its bytes are copied: the files done, the files known (those `next` gave so far, or
 * `known_ahead` when larger: the number of files the caller knows will come, 0 when not known)
 * and the bytes put into outputs so far (copies later dropped included). All callbacks share
 * `context`.
 *
 * `next` and `progress` may end the run by answering a negative value, such as a caller's own
 * failure: the run stops at once, the copy under way is dropped, outputs written whole stay
 * (and are counted), files given but not yet done get no result (the sign batch still gives
 * its summary), and the function answers that value, with quorvane_last_error() saying that
 * the caller stopped the run. */
typedef int (*quorvane_next_item_fn)(void* context, quorvane_item* item);
typedef int (*quorvane_next_path_fn)(void* context, const char** path);
typedef struct quorvane_progress {
    size_t files_done;     /* files with their results given */
    size_t files_known;    /* files given by `next` so far, or `known_ahead` when larger */
    uint64_t bytes_copied; /* bytes put into outputs so far */
} quorvane_progress;
typedef int (*quorvane_progress_fn)(void* context, const quorvane_progress* progress);
QUORVANE_API int quorvane_sign_batch_from(quorvane_next_item_fn next, size_t known_ahead,
                                          const char* output_folder, const char* text,
                                          size_t text_size, int flags, unsigned jobs,
                                          const quorvane_written* written, size_t written_count,
                                          quorvane_report_fn report, quorvane_progress_fn progress,
                                          void* context, size_t* signed_count);
QUORVANE_API int quorvane_check_batch_from(quorvane_next_path_fn next, size_t known_ahead,
                                           unsigned jobs, quorvane_check_fn check,
                                           quorvane_progress_fn progress, void* context,
                                           size_t* signed_count);
QUORVANE_API int quorvane_strip_batch_from(quorvane_next_path_fn next, size_t known_ahead,
                                           const char* output_folder, int flags, unsigned jobs,
                                           const quorvane_written* written, size_t written_count,
                                           quorvane_report_fn report, quorvane_progress_fn progress,
                                           void* context, size_t* stripped_count);

#ifdef __cplusplus
}
#endif

#endif
