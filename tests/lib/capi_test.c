/* libquorvane through its C header only, as a C program that links it would use it. */
#define _GNU_SOURCE
#include <quorvane.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int failures = 0;
#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "%s:%d: failed: %s (last error: %s)\n", __FILE__, __LINE__,            \
                    #condition, quorvane_last_error());                                            \
            ++failures;                                                                            \
        }                                                                                          \
    } while (0)

/* The trailers of "abc" at seeds 0 and 0x12345678, as the codec's tests pin them. */
static const unsigned char kAbcSeed0[] = {
    0xa7, 0x9b, 0x30, 0xe4, 0xb9, 0x70, 0x30, 0xe4, 0x27, 0x6d, 0x30, 0xe4, 0xba, 0x0e,
    0x30, 0xe4, 0x00, 0x00, 0x00, 0x00, 0x55, 0xbf, 0xe1, 0xcb, 0x4c, 0x66, 0xe1, 0xcb};
static const unsigned char kAbcSeed12345678[] = {
    0x94, 0x0d, 0x78, 0xbb, 0x59, 0x07, 0x78, 0xbb, 0x8a, 0xec, 0x78, 0xbb, 0x93, 0x69,
    0x78, 0xbb, 0x78, 0x56, 0x34, 0x12, 0x3b, 0x62, 0x86, 0xb8, 0x46, 0xba, 0x86, 0xb8};

static char folder[] = "/tmp/quorvane-capi-XXXXXX";

static char* PathOf(const char* name) {
    char* path = malloc(strlen(folder) + strlen(name) + 2);
    sprintf(path, "%s/%s", folder, name);
    return path;
}

static void WriteFile(const char* path, const void* data, size_t size) {
    FILE* file = fopen(path, "wb");
    CHECK(file != NULL && fwrite(data, 1, size, file) == size);
    if (file != NULL)
        fclose(file);
}

static unsigned char* ReadFile(const char* path, size_t* size) {
    FILE* file = fopen(path, "rb");
    if (file == NULL)
        return NULL;
    fseek(file, 0, SEEK_END);
    *size = (size_t)ftell(file);
    fseek(file, 0, SEEK_SET);
    unsigned char* data = malloc(*size + 1);
    CHECK(fread(data, 1, *size, file) == *size);
    fclose(file);
    return data;
}

/* `text` is read after the call has filled it. */
static int TextIs(int status, char** text, const char* expected) {
    int same = status == QUORVANE_OK && *text != NULL && strcmp(*text, expected) == 0;
    quorvane_free(*text);
    *text = NULL;
    return same;
}

static void Versions(void) {
    char expected[32];
    sprintf(expected, "%d.%d.%d", QUORVANE_VERSION_MAJOR, QUORVANE_VERSION_MINOR,
            QUORVANE_VERSION_PATCH);
    CHECK(strcmp(quorvane_version(), expected) == 0);
    CHECK(quorvane_version_number() ==
          QUORVANE_VERSION_MAJOR * 10000u + QUORVANE_VERSION_MINOR * 100u + QUORVANE_VERSION_PATCH);
    for (int status = QUORVANE_OK; status <= QUORVANE_FAILED + 1; ++status)
        CHECK(quorvane_status_text(status) != NULL && *quorvane_status_text(status) != 0);
}

static void Memory(void) {
    void* trailer = NULL;
    size_t size = 0;
    CHECK(quorvane_make_trailer("abc", 0, &trailer, &size) == QUORVANE_OK &&
          size == sizeof kAbcSeed0 && memcmp(trailer, kAbcSeed0, size) == 0);
    quorvane_free(trailer);
    CHECK(quorvane_make_trailer("abc", 0x12345678, &trailer, &size) == QUORVANE_OK &&
          size == sizeof kAbcSeed12345678 && memcmp(trailer, kAbcSeed12345678, size) == 0);
    quorvane_free(trailer);
    char* text = NULL;
    CHECK(TextIs(quorvane_check_memory(kAbcSeed0, sizeof kAbcSeed0, &text), &text, "abc"));
    /* The same bytes without their first byte: too short a file for the length it holds. */
    CHECK(quorvane_check_memory(kAbcSeed0 + 1, sizeof kAbcSeed0 - 1, &text) == QUORVANE_NOT_SIGNED);
    CHECK(quorvane_make_trailer("", 0, &trailer, &size) == QUORVANE_INVALID_TEXT);
    CHECK(quorvane_make_trailer("\xff", 0, &trailer, &size) == QUORVANE_INVALID_TEXT);
    CHECK(quorvane_make_trailer(NULL, 0, &trailer, &size) == QUORVANE_INVALID_ARGUMENT);
    CHECK(*quorvane_last_error() != 0);

    /* Longer than a trailer, so that the tail and the unsigned part are different things. */
    size_t dataSize = 300000;
    unsigned char* data = malloc(dataSize);
    for (size_t i = 0; i < dataSize; ++i)
        data[i] = (unsigned char)(i * 7 + i / 251);
    void* signedData = NULL;
    size_t signedSize = 0;
    CHECK(quorvane_check_memory(data, dataSize, &text) == QUORVANE_NOT_SIGNED);
    CHECK(quorvane_sign_memory(data, dataSize, "Zo\xc3\xab\r\nline 2", &signedData, &signedSize) ==
          QUORVANE_OK);
    CHECK(signedSize == dataSize + 4 * 11 + 16 && memcmp(signedData, data, dataSize) == 0);
    CHECK(TextIs(quorvane_check_memory(signedData, signedSize, &text), &text,
                 "Zo\xc3\xab\r\nline 2"));
    size_t unsignedSize = 0;
    CHECK(quorvane_strip_memory(signedData, signedSize, &unsignedSize) == QUORVANE_OK &&
          unsignedSize == dataSize);
    CHECK(quorvane_strip_memory(data, dataSize, &unsignedSize) == QUORVANE_NOT_SIGNED);
    void* twice = NULL;
    CHECK(quorvane_sign_memory(signedData, signedSize, "x", &twice, &size) ==
              QUORVANE_ALREADY_SIGNED &&
          twice == NULL);

    /* From the last bytes alone: 16 tell the length, 60 settle it, with or without the size. */
    size_t needed = 0;
    const unsigned char* end = (const unsigned char*)signedData + signedSize;
    CHECK(quorvane_check_tail(end - 16, 16, (int64_t)signedSize, &text, &needed) ==
              QUORVANE_NEED_MORE &&
          needed == 60);
    CHECK(quorvane_check_tail(end - 8, 8, -1, &text, &needed) == QUORVANE_NEED_MORE &&
          needed == QUORVANE_MAX_TRAILER_BYTES);
    CHECK(TextIs(quorvane_check_tail(end - 60, 60, -1, &text, &needed), &text,
                 "Zo\xc3\xab\r\nline 2"));
    CHECK(TextIs(quorvane_check_tail(end - 4096, 4096, (int64_t)signedSize, &text, &needed), &text,
                 "Zo\xc3\xab\r\nline 2"));
    CHECK(quorvane_check_tail(data + dataSize - 4096, 4096, -1, &text, &needed) ==
          QUORVANE_NOT_SIGNED);
    /* The last 19 bytes of a whole file of 19 bytes: too short to be signed. */
    CHECK(quorvane_check_tail(end - 19, 19, 19, &text, &needed) == QUORVANE_NOT_SIGNED);
    CHECK(quorvane_check_tail(end - 60, 60, 10, &text, &needed) == QUORVANE_INVALID_ARGUMENT);

    /* The incremental signer, fed in pieces that cross its tail's length. */
    quorvane_signer* signer = NULL;
    CHECK(quorvane_signer_new("Zo\xc3\xab", &signer) == QUORVANE_OK);
    for (size_t done = 0; done < dataSize; done += 70001) {
        size_t piece = dataSize - done < 70001 ? dataSize - done : 70001;
        CHECK(quorvane_signer_update(signer, data + done, piece) == QUORVANE_OK);
    }
    CHECK(quorvane_signer_finish(signer, &trailer, &size) == QUORVANE_OK && size == 4 * 3 + 16);
    quorvane_signer_free(signer);
    unsigned char* joined = malloc(dataSize + size);
    memcpy(joined, data, dataSize);
    memcpy(joined + dataSize, trailer, size);
    quorvane_free(trailer);
    CHECK(TextIs(quorvane_check_memory(joined, dataSize + size, &text), &text, "Zo\xc3\xab"));
    CHECK(quorvane_signer_new("again", &signer) == QUORVANE_OK);
    CHECK(quorvane_signer_update(signer, joined, 1000) == QUORVANE_OK);
    CHECK(quorvane_signer_update(signer, joined + 1000, dataSize + 28 - 1000) == QUORVANE_OK);
    CHECK(quorvane_signer_finish(signer, &trailer, &size) == QUORVANE_ALREADY_SIGNED);
    quorvane_signer_free(signer);
    CHECK(quorvane_signer_new("", &signer) == QUORVANE_INVALID_TEXT && signer == NULL);
    free(joined);

    /* Descriptors: a file in, a file out, then a pipe to check. */
    char* in = PathOf("in.bin");
    char* out = PathOf("out.bin");
    WriteFile(in, data, dataSize);
    int input = open(in, O_RDONLY);
    int output = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    CHECK(quorvane_sign_fd(input, output, "fd") == QUORVANE_OK);
    close(input);
    close(output);
    size_t outSize = 0;
    unsigned char* written = ReadFile(out, &outSize);
    CHECK(written != NULL && outSize == dataSize + 24 && memcmp(written, data, dataSize) == 0);
    int fds[2];
    CHECK(pipe(fds) == 0);
    CHECK(write(fds[1], written + outSize - 4000, 4000) == 4000);
    close(fds[1]);
    CHECK(TextIs(quorvane_check_fd(fds[0], &text), &text, "fd"));
    close(fds[0]);
    input = open(out, O_RDONLY);
    output = open(in, O_WRONLY | O_TRUNC);
    CHECK(quorvane_strip_fd(input, output) == QUORVANE_OK);
    close(input);
    close(output);
    free(written);
    written = ReadFile(in, &outSize);
    CHECK(written != NULL && outSize == dataSize && memcmp(written, data, dataSize) == 0);
    CHECK(quorvane_check_fd(-1, &text) == QUORVANE_CANNOT_READ);
    free(written);
    free(in);
    free(out);
    free(data);
    quorvane_free(signedData);
}

static void Files(void) {
    char* source = PathOf("notes.txt");
    char* target = PathOf("notes_signed.txt");
    char* stripped = PathOf("notes_stripped.txt");
    WriteFile(source, "hello, world\n", 13);
    chmod(source, 0640);
    CHECK(quorvane_sign_file(source, target, "Ada", 0) == QUORVANE_OK);
    struct stat facts;
    CHECK(stat(target, &facts) == 0 && (facts.st_mode & 0777) == (0640 & ~(mode_t)022));
    char* text = NULL;
    CHECK(TextIs(quorvane_check_file(target, &text), &text, "Ada"));
    CHECK(quorvane_check_file(source, &text) == QUORVANE_NOT_SIGNED);
    /* An existing output stays unless replacing is asked for. */
    CHECK(quorvane_sign_file(source, target, "Bea", 0) == QUORVANE_OUTPUT_EXISTS);
    CHECK(TextIs(quorvane_check_file(target, &text), &text, "Ada"));
    CHECK(quorvane_sign_file(source, target, "Bea", QUORVANE_REPLACE) == QUORVANE_OK);
    CHECK(TextIs(quorvane_check_file(target, &text), &text, "Bea"));
    CHECK(quorvane_sign_file(target, stripped, "x", 0) == QUORVANE_ALREADY_SIGNED);
    CHECK(access(stripped, F_OK) != 0);
    CHECK(quorvane_strip_file(target, stripped, 0) == QUORVANE_OK);
    size_t size = 0;
    unsigned char* data = ReadFile(stripped, &size);
    CHECK(data != NULL && size == 13 && memcmp(data, "hello, world\n", 13) == 0);
    free(data);
    CHECK(quorvane_strip_file(source, stripped, QUORVANE_REPLACE) == QUORVANE_NOT_SIGNED);
    CHECK(quorvane_sign_file(source, source, "x", QUORVANE_REPLACE) == QUORVANE_CANNOT_WRITE);

    char* missing = PathOf("missing.txt");
    CHECK(quorvane_check_file(missing, &text) == QUORVANE_CANNOT_READ &&
          strstr(quorvane_last_error(), "No such file") != NULL);
    CHECK(quorvane_sign_file(folder, target, "x", QUORVANE_REPLACE) == QUORVANE_CANNOT_READ);
    char* nowhere = PathOf("no/such/folder/x");
    CHECK(quorvane_sign_file(source, nowhere, "x", 0) == QUORVANE_CANNOT_WRITE);
    free(nowhere);
    free(missing);
    free(source);
    free(target);
    free(stripped);
}

struct Messages {
    char text[4096];
    int statuses[8];
    int count;
};

static void Collect(void* context, ptrdiff_t index, int status, const char* message) {
    struct Messages* messages = context;
    char line[1024];
    snprintf(line, sizeof line, "%d %s\n", (int)index, message);
    strncat(messages->text, line, sizeof messages->text - strlen(messages->text) - 1);
    if (messages->count < 8)
        messages->statuses[messages->count++] = status;
}

static void Paths(void* context, const char* path, const char* subfolder) {
    Collect(context, 0, 0, path);
    Collect(context, 1, 0, subfolder);
}

static void Batch(void) {
    char* tree = PathOf("tree");
    char* sub = PathOf("tree/sub");
    char* a = PathOf("tree/a.txt");
    char* b = PathOf("tree/sub/b.txt");
    char* out = PathOf("out");
    mkdir(tree, 0755);
    mkdir(sub, 0755);
    mkdir(out, 0755);
    WriteFile(a, "aaaa", 4);
    WriteFile(b, kAbcSeed0, sizeof kAbcSeed0);

    struct Messages listed = {{0}, {0}, 0};
    CHECK(quorvane_list_files(tree, out, Paths, NULL, &listed) == QUORVANE_OK);
    char expected[4096];
    snprintf(expected, sizeof expected, "0 %s\n1 tree\n0 %s\n1 tree/sub\n", a, b);
    CHECK(strcmp(listed.text, expected) == 0);

    char* missing = PathOf("tree/missing.txt");
    quorvane_item items[] = {{a, "tree"}, {b, "tree/sub"}, {missing, NULL}};
    struct Messages messages = {{0}, {0}, 0};
    size_t count = 9;
    CHECK(quorvane_sign_batch(items, 3, out, "batch", 0, 2, Collect, &messages, &count) ==
          QUORVANE_FAILED);
    CHECK(count == 1);
    snprintf(expected, sizeof expected,
             "1 File %s is already digitally signed, cannot re-sign!\n"
             "2 Could not open file %s for reading! (No such file or directory)\n"
             "-1 File encrypted succesfully!\n",
             b, missing);
    CHECK(strcmp(messages.text, expected) == 0);
    CHECK(messages.count == 3 && messages.statuses[0] == QUORVANE_ALREADY_SIGNED &&
          messages.statuses[1] == QUORVANE_CANNOT_READ && messages.statuses[2] == QUORVANE_OK);
    char* copy = PathOf("out/tree/a_signed.txt");
    char* text = NULL;
    CHECK(TextIs(quorvane_check_file(copy, &text), &text, "batch"));

    /* Again: the copy exists and is kept, with quorvane-cli's words, or quietly. */
    struct Messages again = {{0}, {0}, 0};
    CHECK(quorvane_sign_batch(items, 1, out, "batch", 0, 1, Collect, &again, &count) ==
          QUORVANE_FAILED);
    snprintf(expected, sizeof expected,
             "0 File %s already exists, overwrite? No: kept (--force replaces it)\n"
             "-1 No files were encrypted!\n",
             copy);
    CHECK(strcmp(again.text, expected) == 0);
    CHECK(TextIs(quorvane_sign_summary(12, &text), &text, "12 files encrypted succesfully!"));
    CHECK(quorvane_sign_batch(items, 1, out, "batch", QUORVANE_KEEP_QUIETLY, 1, NULL, NULL,
                              &count) == QUORVANE_OK);
    CHECK(quorvane_sign_batch(items, 1, missing, "batch", 0, 1, NULL, NULL, &count) ==
              QUORVANE_CANNOT_WRITE &&
          strcmp(quorvane_last_error(), "Please select a valid output folder.") == 0);

    /* A link planted in the output folder leads nowhere: the file is refused, nothing written. */
    char* linked = PathOf("out/linked");
    CHECK(symlink(sub, linked) == 0);
    const quorvane_item throughLink = {a, "linked"};
    struct Messages refused = {{0}, {0}, 0};
    CHECK(quorvane_sign_batch(&throughLink, 1, out, "batch", 0, 1, Collect, &refused, &count) ==
              QUORVANE_FAILED &&
          quorvane_last_errno() == 0);
    snprintf(expected, sizeof expected,
             "0 Could not open file %s for writing! (%s/a_signed.txt: a link inside the output "
             "folder, not followed)\n-1 No files were encrypted!\n",
             a, linked);
    CHECK(strcmp(refused.text, expected) == 0);
    CHECK(refused.statuses[0] == QUORVANE_CANNOT_WRITE);
    char* through = PathOf("tree/sub/a_signed.txt");
    CHECK(access(through, F_OK) != 0);
    free(through);
    free(linked);
    free(copy);
    free(missing);
    free(tree);
    free(sub);
    free(a);
    free(b);
    free(out);
}

/* A growing byte buffer for what callbacks report, U+0000 included. */
struct Buffer {
    char* data;
    size_t size;
};

static void Add(struct Buffer* buffer, const void* bytes, size_t size) {
    char* grown = realloc(buffer->data, buffer->size + size + 1);
    if (grown == NULL)
        abort();
    memcpy(grown + buffer->size, bytes, size);
    buffer->data = grown;
    buffer->size += size;
    grown[buffer->size] = 0;
}

static void AddText(struct Buffer* buffer, const char* text) {
    Add(buffer, text, strlen(text));
}

static void AddNumber(struct Buffer* buffer, long long number) {
    char digits[32];
    snprintf(digits, sizeof digits, "%lld ", number);
    AddText(buffer, digits);
}

/* Where `bytes` first occurs in `buffer`, or NULL. */
static char* Find(const struct Buffer* buffer, const void* bytes, size_t size) {
    for (size_t at = 0; buffer->data != NULL && at + size <= buffer->size; ++at)
        if (memcmp(buffer->data + at, bytes, size) == 0)
            return buffer->data + at;
    return NULL;
}

static int SameBuffers(const struct Buffer* a, const struct Buffer* b) {
    return a->size == b->size && (a->size == 0 || memcmp(a->data, b->data, a->size) == 0);
}

/* A text 1.0 cannot carry: "a", U+0000, "b", an unpaired U+D800 in its three-byte form, "é",
 * and U+1F600 (a surrogate pair). */
static const char kExact[] = "a\0b\xed\xa0\x80\xc3\xa9\xf0\x9f\x98\x80";
#define kExactSize (sizeof kExact - 1)

/* `text` holds exactly kExact, with a 00 byte after it; it is freed. Both are read after the
 * call has filled them. */
static int IsExact(int status, char** text, const size_t* size) {
    int same = status == QUORVANE_OK && *text != NULL && *size == kExactSize &&
               memcmp(*text, kExact, *size) == 0 && (*text)[*size] == 0;
    quorvane_free(*text);
    *text = NULL;
    return same;
}

/* Every text function of 1.1, both ways, with the text 1.0 cuts short. */
static void ExactTexts(void) {
    char* text = NULL;
    size_t size = 0;
    int64_t when = 0;
    void* trailer = NULL;
    size_t trailerSize = 0;
    CHECK(quorvane_make_trailer_n(kExact, kExactSize, 1234567890, &trailer, &trailerSize) ==
              QUORVANE_OK &&
          trailerSize == 4 * 7 + 16);
    CHECK(IsExact(quorvane_check_tail_n(trailer, trailerSize, -1, &text, &size, &when, NULL), &text,
                  &size) &&
          when == 1234567890);
    CHECK(
        IsExact(quorvane_check_memory_n(trailer, trailerSize, &text, &size, &when), &text, &size));
    CHECK(TextIs(quorvane_check_memory(trailer, trailerSize, &text), &text, "a"));
    CHECK(TextIs(quorvane_time_text(when, &text), &text, "2009-02-13T23:31:30Z"));
    CHECK(quorvane_time_text(-1, &text) == QUORVANE_INVALID_ARGUMENT && text == NULL);
    CHECK(quorvane_time_text(INT64_C(1) << 32, &text) == QUORVANE_INVALID_ARGUMENT);
    quorvane_free(trailer);
    /* Not WTF-8 (a cut three-byte form, a surrogate in four bytes), or no text at all. */
    CHECK(quorvane_make_trailer_n("\xed\xa0", 2, 0, &trailer, &trailerSize) ==
          QUORVANE_INVALID_TEXT);
    CHECK(quorvane_make_trailer_n("\xf0\x8d\xa0\x80", 4, 0, &trailer, &trailerSize) ==
          QUORVANE_INVALID_TEXT);
    CHECK(quorvane_make_trailer_n("", 0, 0, &trailer, &trailerSize) == QUORVANE_INVALID_TEXT);
    CHECK(quorvane_make_trailer_n(NULL, 1, 0, &trailer, &trailerSize) == QUORVANE_INVALID_ARGUMENT);

    const int64_t before = (int64_t)time(NULL);
    void* signedData = NULL;
    size_t signedSize = 0;
    CHECK(quorvane_sign_memory_n("data", 4, kExact, kExactSize, &signedData, &signedSize) ==
          QUORVANE_OK);
    CHECK(IsExact(quorvane_check_memory_n(signedData, signedSize, &text, &size, &when), &text,
                  &size) &&
          when >= before && when <= (int64_t)time(NULL));
    quorvane_signer* signer = NULL;
    CHECK(quorvane_signer_new_n(kExact, kExactSize, &signer) == QUORVANE_OK);
    CHECK(quorvane_signer_update(signer, "data", 4) == QUORVANE_OK);
    CHECK(quorvane_signer_finish(signer, &trailer, &trailerSize) == QUORVANE_OK &&
          trailerSize == signedSize - 4);
    quorvane_signer_free(signer);
    struct Buffer joined = {NULL, 0};
    Add(&joined, "data", 4);
    Add(&joined, trailer, trailerSize);
    quorvane_free(trailer);
    CHECK(IsExact(quorvane_check_memory_n(joined.data, joined.size, &text, &size, NULL), &text,
                  &size));
    free(joined.data);

    /* Descriptors and files. */
    char* in = PathOf("exact.bin");
    char* out = PathOf("exact_signed.bin");
    char* copy = PathOf("exact_copy.bin");
    WriteFile(in, signedData, 4);
    int input = open(in, O_RDONLY);
    int output = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    CHECK(quorvane_sign_fd_n(input, output, kExact, kExactSize) == QUORVANE_OK);
    close(input);
    close(output);
    input = open(out, O_RDONLY);
    CHECK(IsExact(quorvane_check_fd_n(input, &text, &size, &when), &text, &size) && when >= before);
    close(input);
    CHECK(quorvane_sign_file_n(in, copy, kExact, kExactSize, 0) == QUORVANE_OK);
    CHECK(IsExact(quorvane_check_file_n(copy, &text, &size, &when), &text, &size) &&
          when >= before);
    CHECK(TextIs(quorvane_check_file(copy, &text), &text, "a"));
    /* After a failure the places hold nothing. */
    text = (char*)in;
    size = 9;
    when = 9;
    CHECK(quorvane_check_file_n(in, &text, &size, &when) == QUORVANE_NOT_SIGNED && text == NULL &&
          size == 0 && when == -1);

    /* A batch, checked by quorvane_check_batch below. */
    char* folderOut = PathOf("exact-out");
    mkdir(folderOut, 0755);
    quorvane_item item = {in, NULL};
    size_t count = 0;
    CHECK(quorvane_sign_batch_n(&item, 1, folderOut, kExact, kExactSize, 0, 1, NULL, NULL,
                                &count) == QUORVANE_OK &&
          count == 1);
    char* batchCopy = PathOf("exact-out/exact_signed.bin");
    CHECK(IsExact(quorvane_check_file_n(batchCopy, &text, &size, NULL), &text, &size));
    free(batchCopy);
    free(folderOut);
    free(in);
    free(out);
    free(copy);
    quorvane_free(signedData);
}

/* The answer of quorvane_check_tail after at most one more read of exactly `needed` bytes
 * (the whole file when it is shorter), for the last `tail` bytes of `file`. */
static int SettledTail(const unsigned char* file, size_t fileSize, size_t tail, int sizeKnown,
                       char** text) {
    const unsigned char* end = file + fileSize;
    const int64_t known = sizeKnown ? (int64_t)fileSize : -1;
    size_t needed = 0;
    int status = quorvane_check_tail(end - tail, tail, known, text, &needed);
    CHECK(status == QUORVANE_OK || status == QUORVANE_NOT_SIGNED || status == QUORVANE_NEED_MORE);
    if (status != QUORVANE_NEED_MORE)
        return status;
    const size_t most =
        sizeKnown && fileSize < QUORVANE_MAX_TRAILER_BYTES ? fileSize : QUORVANE_MAX_TRAILER_BYTES;
    CHECK(needed > tail && (tail >= 16 || needed == most));
    const size_t given = needed < fileSize ? needed : fileSize;
    status = quorvane_check_tail(end - given, given, given < needed ? (int64_t)fileSize : known,
                                 text, &needed);
    CHECK(status != QUORVANE_NEED_MORE);
    return status;
}

/* Every tail of 0 to 20 bytes of a short signed file, of one ending in the longest trailer and
 * of an unsigned one, with and without the file's size: one more read settles each. */
static void TailWalk(void) {
    size_t longSize = QUORVANE_MAX_TEXT_UNITS;
    char* longest = malloc(longSize + 1);
    memset(longest, 'x', longSize);
    longest[longSize] = 0;
    struct Buffer files[3] = {{NULL, 0}, {NULL, 0}, {NULL, 0}};
    const char* texts[3] = {"abc", longest, NULL};
    Add(&files[0], "xyz", 3);
    Add(&files[0], kAbcSeed0, sizeof kAbcSeed0);
    void* trailer = NULL;
    size_t size = 0;
    CHECK(quorvane_make_trailer(longest, 99, &trailer, &size) == QUORVANE_OK &&
          size == QUORVANE_MAX_TRAILER_BYTES);
    Add(&files[1], "12345", 5);
    Add(&files[1], trailer, size);
    quorvane_free(trailer);
    char* unsignedBytes = malloc(300000);
    for (int i = 0; i < 300000; ++i)
        unsignedBytes[i] = "Quorvane"[i % 8];
    Add(&files[2], unsignedBytes, 300000);
    free(unsignedBytes);
    for (int which = 0; which < 3; ++which)
        for (int sizeKnown = 0; sizeKnown < 2; ++sizeKnown)
            for (size_t tail = 0; tail <= 20; ++tail) {
                char* text = NULL;
                const int status = SettledTail((const unsigned char*)files[which].data,
                                               files[which].size, tail, sizeKnown, &text);
                if (texts[which] != NULL)
                    CHECK(TextIs(status, &text, texts[which]));
                else
                    CHECK(status == QUORVANE_NOT_SIGNED);
            }
    for (int which = 0; which < 3; ++which)
        free(files[which].data);
    free(longest);
}

/* Files go through the engine: its messages, and its refusals of a read-only output and of
 * the source itself under another name. */
static void EngineFiles(void) {
    char* source = PathOf("engine.txt");
    char* target = PathOf("engine_signed.txt");
    char* sameSource = PathOf("./engine.txt");
    WriteFile(source, "engine", 6);
    WriteFile(target, "old", 3);
    /* Root ignores permission bits; the immutable attribute holds even for root. */
    struct Buffer command = {NULL, 0};
    AddText(&command, "chattr +i '");
    AddText(&command, target);
    AddText(&command, "'");
    const int asRoot = geteuid() == 0;
    if (asRoot)
        CHECK(system(command.data) == 0);
    else
        chmod(target, 0444);
    CHECK(quorvane_sign_file(source, target, "x", QUORVANE_REPLACE) == QUORVANE_CANNOT_WRITE);
    if (asRoot) {
        command.data[7] = '-';
        CHECK(system(command.data) == 0);
    }
    free(command.data);
    size_t size = 0;
    unsigned char* kept = ReadFile(target, &size);
    CHECK(kept != NULL && size == 3 && memcmp(kept, "old", 3) == 0);
    free(kept);
    chmod(target, 0644);
    CHECK(quorvane_sign_file(source, sameSource, "x", QUORVANE_REPLACE) == QUORVANE_CANNOT_WRITE);
    kept = ReadFile(source, &size);
    CHECK(kept != NULL && size == 6);
    free(kept);
    CHECK(quorvane_sign_file(source, target, "x", QUORVANE_REPLACE) == QUORVANE_OK);
    CHECK(quorvane_strip_file(target, target, QUORVANE_REPLACE) == QUORVANE_CANNOT_WRITE);
    CHECK(quorvane_sign_file(target, source, "x", QUORVANE_REPLACE) == QUORVANE_ALREADY_SIGNED);
    struct Buffer expected = {NULL, 0};
    AddText(&expected, "File ");
    AddText(&expected, target);
    AddText(&expected, " is already digitally signed, cannot re-sign!");
    CHECK(strcmp(quorvane_last_error(), expected.data) == 0);
    free(expected.data);
    free(source);
    free(target);
    free(sameSource);
}

static void Checked(void* context, const quorvane_check_result* result) {
    struct Buffer* buffer = context;
    AddNumber(buffer, (long long)result->index);
    AddNumber(buffer, result->status);
    AddNumber(buffer, (long long)result->signed_at);
    if (result->text != NULL)
        Add(buffer, result->text, result->text_size + 1);
    AddText(buffer, result->reason != NULL ? result->reason : "-");
    AddText(buffer, " ");
    AddText(buffer, result->json_line);
    AddText(buffer, "\n");
}

static void Reported(void* context, ptrdiff_t index, int status, const char* message) {
    struct Buffer* buffer = context;
    AddNumber(buffer, (long long)index);
    AddNumber(buffer, status);
    AddText(buffer, message);
    AddText(buffer, "\n");
}

/* Checking and stripping batches: one job or four, the same results in the same order. */
static void CheckAndStripBatches(void) {
    char* dup = PathOf("dup");
    mkdir(dup, 0755);
    char* one = PathOf("one_signed.txt");
    char* same = PathOf("dup/one_signed.txt");
    char* other = PathOf("other_signed.txt");
    char* plain = PathOf("plain.txt");
    char* missing = PathOf("missing_signed.txt");
    struct Buffer data = {NULL, 0};
    AddText(&data, "original");
    void* trailer = NULL;
    size_t size = 0;
    CHECK(quorvane_make_trailer_n(kExact, kExactSize, 1234567890, &trailer, &size) == QUORVANE_OK);
    Add(&data, trailer, size);
    quorvane_free(trailer);
    WriteFile(one, data.data, data.size);
    WriteFile(same, data.data, data.size);
    WriteFile(other, data.data, data.size);
    WriteFile(plain, "plain", 5);

    const char* paths[] = {one, plain, missing, folder, other};
    struct Buffer checked[2] = {{NULL, 0}, {NULL, 0}};
    for (int run = 0; run < 2; ++run) {
        size_t count = 0;
        CHECK(quorvane_check_batch(paths, 5, run == 0 ? 1 : 4, Checked, &checked[run], &count) ==
                  QUORVANE_CANNOT_READ &&
              count == 2);
    }
    CHECK(checked[0].size > 0 && SameBuffers(&checked[0], &checked[1]));
    CHECK(Find(&checked[0], kExact, kExactSize + 1) != NULL);
    const char* json = "\"signed\": true, \"text\": \"a\\u0000b\\ud800\xc3\xa9\xf0\x9f\x98\x80\", "
                       "\"signed_at\": \"2009-02-13T23:31:30Z\"}\n";
    CHECK(Find(&checked[0], json, strlen(json)) != NULL);
    CHECK(Find(&checked[0], "No such file or directory", 25) != NULL);
    /* Each file's index, status and signing time, in order. */
    const char* checks[] = {"0 0 1234567890 a", "\n1 1 -1 -", "\n2 6 -1 N", "\n3 6 -1 ",
                            "\n4 0 1234567890 a"};
    const char* previous = checked[0].data;
    for (int i = 0; i < 5; ++i) {
        const char* at = Find(&checked[0], checks[i], strlen(checks[i]));
        CHECK(at != NULL && at >= previous);
        previous = at != NULL ? at : previous;
    }

    /* Stripped into o1 with one job and o4 with four, each holding an output already. */
    const char* sources[] = {one, same, plain, missing, other};
    struct Buffer reports[2] = {{NULL, 0}, {NULL, 0}};
    for (int run = 0; run < 2; ++run) {
        char* out = PathOf(run == 0 ? "o1" : "o4");
        char* existing = PathOf(run == 0 ? "o1/other.txt" : "o4/other.txt");
        mkdir(out, 0755);
        WriteFile(existing, "kept", 4);
        size_t count = 9;
        CHECK(quorvane_strip_batch(sources, 5, out, 0, run == 0 ? 1 : 4, Reported, &reports[run],
                                   &count) == QUORVANE_FAILED &&
              count == 1);
        free(existing);
        free(out);
    }
    for (char* at; (at = Find(&reports[1], "/o4/", 4)) != NULL;)
        at[2] = '1';
    CHECK(SameBuffers(&reports[0], &reports[1]));
    /* The source written earlier in this run, the unsigned, the missing, the kept: in order. */
    const char* lines[] = {"1 7 ", "2 1 ", "3 6 ", "4 8 "};
    char* line = reports[0].data;
    for (int i = 0; i < 4;
         ++i, line = line != NULL && strchr(line, '\n') ? strchr(line, '\n') + 1 : NULL)
        CHECK(line != NULL && strncmp(line, lines[i], 4) == 0);
    CHECK(line != NULL && *line == 0);
    CHECK(Find(&reports[0], "holds no signature", 18) &&
          Find(&reports[0], "earlier in this run", 19) && Find(&reports[0], "already exists", 14));
    char* stripped = PathOf("o1/one.txt");
    unsigned char* bytes = ReadFile(stripped, &size);
    CHECK(bytes != NULL && size == 8 && memcmp(bytes, "original", 8) == 0);
    free(bytes);

    /* Kept quietly, and a folder that is none. */
    struct Buffer quiet = {NULL, 0};
    char* o1 = PathOf("o1");
    CHECK(quorvane_strip_batch(sources + 4, 1, o1, QUORVANE_KEEP_QUIETLY, 1, Reported, &quiet,
                               NULL) == QUORVANE_OK &&
          quiet.size == 0);
    CHECK(quorvane_strip_batch(sources, 1, missing, 0, 1, Reported, &quiet, NULL) ==
              QUORVANE_CANNOT_WRITE &&
          quiet.data != NULL &&
          strcmp(quiet.data, "-1 7 Please select a valid output folder.\n") == 0);
    free(quiet.data);
    free(o1);
    free(stripped);
    for (int run = 0; run < 2; ++run) {
        free(checked[run].data);
        free(reports[run].data);
    }
    free(data.data);
    free(dup);
    free(one);
    free(same);
    free(other);
    free(plain);
    free(missing);
}

static void Planned(void* context, const quorvane_planned_item* item) {
    struct Buffer* buffer = context;
    AddNumber(buffer, (long long)item->index);
    AddNumber(buffer, (long long)item->earlier);
    AddNumber(buffer, (long long)item->part);
    AddText(buffer, item->output);
    AddText(buffer, "\n");
}

/* The errno behind a failure, bytes signed into the caller's memory, the texts of text files,
 * what sign -r takes for a path, and a batch planned in parts. */
static void NumbersTextsAndPlans(void) {
    char* missing = PathOf("nowhere/gone.txt");
    char* text = NULL;
    CHECK(quorvane_check_file(missing, &text) == QUORVANE_CANNOT_READ &&
          quorvane_last_errno() == ENOENT);
    char* plain = PathOf("errno.txt");
    WriteFile(plain, "plain", 5);
    char* below = PathOf("errno.txt/x");
    CHECK(quorvane_check_file(below, &text) == QUORVANE_CANNOT_READ &&
          quorvane_last_errno() == ENOTDIR);
    CHECK(quorvane_check_file(plain, &text) == QUORVANE_NOT_SIGNED && quorvane_last_errno() == 0);
    CHECK(quorvane_sign_file(plain, missing, "t", 0) == QUORVANE_CANNOT_WRITE &&
          quorvane_last_errno() == ENOENT);
    char* copy = PathOf("errno_signed.txt");
    CHECK(quorvane_sign_file(plain, copy, "t", 0) == QUORVANE_OK && quorvane_last_errno() == 0);
    CHECK(quorvane_sign_file(plain, copy, "t", 0) == QUORVANE_OUTPUT_EXISTS &&
          quorvane_last_errno() == EEXIST);

    /* Into the caller's memory: the size first, then exactly that room. */
    size_t needed = 0, size = 0;
    CHECK(quorvane_sign_memory_into_n("data", 4, kExact, kExactSize, NULL, 0, &needed) ==
              QUORVANE_OK &&
          needed == 4 + 4 * 7 + 16);
    unsigned char* room = malloc(needed);
    CHECK(quorvane_sign_memory_into_n("data", 4, kExact, kExactSize, room, needed - 1, &size) ==
              QUORVANE_INVALID_ARGUMENT &&
          size == needed);
    CHECK(quorvane_sign_memory_into_n("data", 4, kExact, kExactSize, room, needed, &size) ==
              QUORVANE_OK &&
          size == needed && memcmp(room, "data", 4) == 0);
    size_t textSize = 0;
    CHECK(quorvane_check_memory_n(room, size, &text, &textSize, NULL) == QUORVANE_OK &&
          textSize == kExactSize && memcmp(text, kExact, kExactSize) == 0);
    quorvane_free(text);
    CHECK(quorvane_sign_memory_into_n(room, size, "t", 1, NULL, 0, &needed) ==
          QUORVANE_ALREADY_SIGNED);
    free(room);

    /* Text files: UTF-16 either way round, UTF-8 with a mark, one final line break dropped. */
    static const unsigned char little[] = {0xFF, 0xFE, 'a', 0, '\r', 0, '\n', 0, 0, 0xD8, '\n', 0};
    static const unsigned char big[] = {0xFE, 0xFF, 0, 'a', 0, '\r', 0, '\n', 0xD8, 0, 0, '\n'};
    static const char expected[] = "a\r\n\xed\xa0\x80";
    for (int order = 0; order < 2; ++order) {
        CHECK(quorvane_text_from_file_bytes(order == 0 ? little : big, sizeof little, &text,
                                            &textSize) == QUORVANE_OK &&
              textSize == sizeof expected - 1 && memcmp(text, expected, textSize) == 0);
        quorvane_free(text);
    }
    CHECK(quorvane_text_from_file_bytes("\xef\xbb\xbfline\n", 8, &text, &textSize) == QUORVANE_OK &&
          textSize == 4 && strcmp(text, "line") == 0);
    quorvane_free(text);
    CHECK(quorvane_text_from_file_bytes("\xff\xfe\x00", 3, &text, &textSize) ==
              QUORVANE_INVALID_TEXT &&
          text == NULL && textSize == 0);
    CHECK(quorvane_with_crlf("a\nb\rc\r\nd\0", 9, &text, &textSize) == QUORVANE_OK &&
          textSize == 11 && memcmp(text, "a\r\nb\r\nc\r\nd\0", 11) == 0);
    quorvane_free(text);

    /* sign -r's items: a file stands for itself, a missing path too; a folder for its files. */
    struct Messages listed = {{0}, {0}, 0};
    CHECK(quorvane_list_sign_items(plain, NULL, Paths, NULL, &listed) == QUORVANE_OK &&
          quorvane_list_sign_items(missing, NULL, Paths, NULL, &listed) == QUORVANE_OK);
    char lines[4096];
    snprintf(lines, sizeof lines, "0 %s\n1 \n0 %s\n1 \n", plain, missing);
    CHECK(strcmp(listed.text, lines) == 0);

    /* Two trees with a folder of one name, and a source that is a copy of the batch: each pair
     * in one part, in order, whatever the part size. */
    char* a1 = PathOf("t1/photos/a.jpg");
    char* b1 = PathOf("t1/photos/b.jpg");
    char* a2 = PathOf("t2/photos/a.jpg");
    char* c2 = PathOf("t2/other/c.jpg");
    char* out = PathOf("planned");
    char* copyOfB = PathOf("planned/photos/b_signed.jpg");
    char* upper = PathOf("t3/photos/A.jpg");
    quorvane_item items[] = {{a1, "photos"}, {b1, "photos"},  {a2, "photos"},
                             {c2, "other"},  {copyOfB, NULL}, {upper, "photos"}};
    struct Buffer plan = {NULL, 0};
    size_t parts = 0;
    CHECK(quorvane_plan_sign_batch(items, 6, out, 1, Planned, &plan, &parts) == QUORVANE_OK &&
          parts == 3);
    snprintf(lines, sizeof lines,
             "0 -1 0 %s/photos/a_signed.jpg\n1 -1 1 %s/photos/b_signed.jpg\n"
             "2 0 0 %s/photos/a_signed.jpg\n3 -1 2 %s/other/c_signed.jpg\n"
             "4 -1 1 %s/b_signed_signed.jpg\n5 -1 0 %s/photos/A_signed.jpg\n",
             out, out, out, out, out, out);
    CHECK(plan.data != NULL && strcmp(plan.data, lines) == 0);
    CHECK(quorvane_plan_sign_batch(items, 6, out, 0, NULL, NULL, &parts) == QUORVANE_OK &&
          parts == 1);
    CHECK(quorvane_plan_sign_batch(items, 6, out, 4, NULL, NULL, &parts) == QUORVANE_OK &&
          parts == 2);
    free(plan.data);
    free(a1);
    free(b1);
    free(a2);
    free(c2);
    free(out);
    free(copyOfB);
    free(upper);
    free(missing);
    free(plain);
    free(below);
    free(copy);
}

/* A run cut into parts (1.3): a later part keeps what an earlier one wrote, signing and
 * stripping, and refuses a later source of one copy with quorvane-cli's line. */
static void RunInParts(void) {
    char* parts = PathOf("parts");
    char* out = PathOf("parts/out");
    char* plain = PathOf("parts/plain");
    char* first = PathOf("parts/first.txt");
    char* later = PathOf("parts/later/first.txt");
    char* later_folder = PathOf("parts/later");
    mkdir(parts, 0755);
    mkdir(out, 0755);
    mkdir(plain, 0755);
    mkdir(later_folder, 0755);
    WriteFile(first, "first", 5);
    WriteFile(later, "later", 5);
    const quorvane_item one[] = {{first, NULL}};
    CHECK(quorvane_sign_batch_after(one, 1, out, "T", 1, 0, 1, NULL, 0, NULL, NULL, NULL) ==
          QUORVANE_OK);
    char copy[1024];
    snprintf(copy, sizeof copy, "%s/first_signed.txt", out);
    const quorvane_written written[] = {{copy, first}};
    const quorvane_item two[] = {{later, NULL}};
    struct Messages said = {{0}, {0}, 0};
    size_t count = 9;
    CHECK(quorvane_sign_batch_after(two, 1, out, "T", 1, QUORVANE_REPLACE, 1, written, 1, Collect,
                                    &said, &count) == QUORVANE_FAILED &&
          count == 0 && said.statuses[0] == QUORVANE_CANNOT_WRITE);
    char expected[4096];
    snprintf(expected, sizeof expected,
             "0 Could not open file %s for writing! (%s was written from %s earlier in this "
             "run)\n-1 No files were encrypted!\n",
             later, copy, first);
    CHECK(strcmp(said.text, expected) == 0);
    char* stripped = NULL;
    CHECK(quorvane_strip_output(copy, plain, &stripped) == QUORVANE_OK && stripped != NULL);
    snprintf(expected, sizeof expected, "%s/first.txt", plain);
    CHECK(stripped != NULL && strcmp(stripped, expected) == 0);
    const char* sources[] = {copy};
    CHECK(quorvane_strip_batch_after(sources, 1, plain, 0, 1, NULL, 0, NULL, NULL, &count) ==
              QUORVANE_OK &&
          count == 1);
    const quorvane_written strips[] = {{stripped, copy}};
    struct Messages kept = {{0}, {0}, 0};
    CHECK(quorvane_strip_batch_after(sources, 1, plain, QUORVANE_REPLACE, 1, strips, 1, Collect,
                                     &kept, &count) == QUORVANE_FAILED &&
          count == 0 && kept.count == 1);
    CHECK(quorvane_strip_batch_after(sources, 1, plain, 0, 1, NULL, 1, NULL, NULL, NULL) ==
          QUORVANE_INVALID_ARGUMENT);
    quorvane_free(stripped);
    free(parts);
    free(out);
    free(plain);
    free(first);
    free(later);
    free(later_folder);
}

/* Files whose own programs object to a signature: told by quorvane_file_kind, warned about by
 * a batch, left out with QUORVANE_SKIP_KINDS. */
static void Kinds(void) {
    /* A descriptor that cannot take the bytes fails the call. */
    {
        int input = open("/etc/passwd", O_RDONLY), full = open("/dev/full", O_WRONLY);
        CHECK(input >= 0 && full >= 0);
        CHECK(quorvane_sign_fd(input, full, "t") == QUORVANE_CANNOT_WRITE);
        close(input);
        close(full);
    }
    char* archive = PathOf("logs.gz");
    char* plain = PathOf("notes.txt");
    char* out = PathOf("kinds-out");
    mkdir(out, 0755);
    const unsigned char gzip[] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    WriteFile(archive, gzip, sizeof gzip);
    WriteFile(plain, "plain text, nothing more", 24);
    const char* kind = "x";
    const char* consequence = "x";
    CHECK(quorvane_file_kind(archive, &kind, &consequence) == QUORVANE_OK && kind != NULL &&
          strcmp(kind, "gzip") == 0 && strstr(consequence, "gzip") != NULL);
    CHECK(quorvane_file_kind(plain, &kind, &consequence) == QUORVANE_OK && kind == NULL &&
          consequence == NULL);
    CHECK(quorvane_file_kind(out, &kind, &consequence) == QUORVANE_CANNOT_READ);
    const quorvane_item items[] = {{archive, NULL}, {plain, NULL}};
    for (int skip = 0; skip < 2; ++skip) {
        struct Messages messages = {{0}, {0}, 0};
        size_t count = 0;
        const int status = quorvane_sign_batch(items, 2, out, "me",
                                               QUORVANE_REPLACE | (skip ? QUORVANE_SKIP_KINDS : 0),
                                               1, Collect, &messages, &count);
        CHECK(status == (skip ? QUORVANE_FAILED : QUORVANE_OK) && count == (skip ? 1u : 2u));
        CHECK(messages.count == 2 &&
              messages.statuses[0] == (skip ? QUORVANE_FAILED : QUORVANE_OK));
        CHECK(strstr(messages.text, skip ? "(gzip): " : "0 Warning: File ") != NULL);
        CHECK((strstr(messages.text, "Left out.") != NULL) == (skip != 0));
    }
    free(archive);
    free(plain);
    free(out);
}

/* Streams and bytes judged by their kind as files are, through a descriptor, memory and the
 * incremental signer: told and signed, or left out with QUORVANE_SKIP_KINDS: a kind of the
 * first bytes before any goes out (the signer's update refuses them), one of the last bytes at
 * the end; a signed copy is refused as signed before its kind. */
static int SameId(const char* id, const char* expected) {
    return id == expected || (id != NULL && expected != NULL && strcmp(id, expected) == 0);
}

static void StreamKinds(void) {
    enum { BIG = 200000, FRAME = 417, PIECE = 65536 };
    unsigned char* gzip = malloc(BIG);
    memcpy(gzip, "\x1f\x8b\x08\0\0\0\0\0\0\x03", 10);
    for (size_t i = 10; i < BIG; ++i)
        gzip[i] = (unsigned char)(i * 7 + i / 251);
    /* UTF-16 LE with its byte order mark, 192 bytes from "H": one MPEG Layer I frame's length. */
    unsigned char text[192] = {0xFF, 0xFE};
    for (size_t i = 2; i < sizeof text; i += 2)
        text[i] = (unsigned char)"Hello, world. "[(i / 2 - 1) % 14];
    /* Three MPEG-1 Layer III frames and an ID3v1 tag. */
    unsigned char mp3[3 * FRAME + 128] = {0};
    for (size_t i = 0; i < 3; ++i)
        memcpy(mp3 + i * FRAME, "\xFF\xFB\x90\x00", 4);
    memcpy(mp3 + 3 * FRAME, "TAG", 3);
    void* signedGzip = NULL;
    size_t signedSize = 0;
    CHECK(quorvane_sign_memory(gzip, 1000, "t", &signedGzip, &signedSize) == QUORVANE_OK);
    const struct {
        const unsigned char* data;
        size_t size;
        const char* kind;
        int head;
        int alreadySigned;
    } rows[] = {
        {gzip, BIG, "gzip", 1, 0},
        {text, sizeof text, NULL, 0, 0},
        {mp3, sizeof mp3, "mp3-end-tags", 0, 0},
        {signedGzip, signedSize, NULL, 0, 1},
    };
    char* in = PathOf("kind-in");
    char* out = PathOf("kind-out");
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i)
        for (int skip = 0; skip < 2; ++skip) {
            const int flags = skip ? QUORVANE_SKIP_KINDS : 0;
            const int expected = rows[i].alreadySigned          ? QUORVANE_ALREADY_SIGNED
                                 : skip && rows[i].kind != NULL ? QUORVANE_FAILED
                                                                : QUORVANE_OK;
            const size_t expectedOut = expected == QUORVANE_OK ? rows[i].size + 20 : 0;
            WriteFile(in, rows[i].data, rows[i].size);
            int input = open(in, O_RDONLY);
            int output = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
            quorvane_kind kind = {"x", "x"};
            const int fdStatus = quorvane_sign_fd_with(input, output, "t", 1, flags, &kind);
            const off_t written = lseek(output, 0, SEEK_END);
            close(input);
            close(output);
            const int fdOk = fdStatus == expected && SameId(kind.id, rows[i].kind) &&
                             (kind.id == NULL) == (kind.consequence == NULL) &&
                             written == (off_t)expectedOut;

            size_t needed = 0, size = 0;
            kind.id = "x";
            const int sized = quorvane_sign_memory_with(rows[i].data, rows[i].size, "t", 1, flags,
                                                        NULL, 0, &needed, &kind);
            unsigned char* room = malloc(rows[i].size + 20);
            const int memoryOk =
                sized == expected && SameId(kind.id, rows[i].kind) &&
                quorvane_sign_memory_with(rows[i].data, rows[i].size, "t", 1, flags, room,
                                          rows[i].size + 20, &size, &kind) == expected &&
                SameId(kind.id, rows[i].kind) && size == expectedOut && needed == expectedOut &&
                (size == 0 || memcmp(room, rows[i].data, rows[i].size) == 0);
            free(room);

            quorvane_signer* signer = NULL;
            CHECK(quorvane_signer_new_with("t", 1, flags, &signer) == QUORVANE_OK);
            int refusedEarly = 0;
            for (size_t done = 0; done < rows[i].size && !refusedEarly; done += PIECE) {
                const size_t piece = rows[i].size - done < PIECE ? rows[i].size - done : PIECE;
                refusedEarly = quorvane_signer_update(signer, rows[i].data + done, piece) != 0;
            }
            void* trailer = NULL;
            const int finished = quorvane_signer_finish(signer, &trailer, &size);
            quorvane_free(trailer);
            kind.id = "x";
            CHECK(quorvane_signer_kind(signer, &kind) == QUORVANE_OK);
            quorvane_signer_free(signer);
            const int signerOk = finished == expected && SameId(kind.id, rows[i].kind) &&
                                 refusedEarly == (skip && rows[i].head);
            if (!fdOk || !memoryOk || !signerOk) {
                fprintf(stderr,
                        "%s:%d: failed: kinds row %zu, skip %d: fd %d, memory %d, "
                        "signer %d (last error: %s)\n",
                        __FILE__, __LINE__, i, skip, fdOk, memoryOk, signerOk,
                        quorvane_last_error());
                ++failures;
            }
        }
    quorvane_kind kind;
    CHECK(quorvane_sign_fd_with(0, 1, "t", 1, QUORVANE_SKIP_KINDS | QUORVANE_REPLACE, &kind) ==
          QUORVANE_INVALID_ARGUMENT);
    quorvane_free(signedGzip);
    free(gzip);
    free(in);
    free(out);
}

/* How a failure is made: as it comes; in a process of another user (nobody, when this one is
 * root, who reads and writes past any permission); under a limit of the size of the files this
 * process writes; or through a copy that fails to read, fails to write, or whose source grows
 * after it was opened. */
enum Way { PLAINLY, AS_ANOTHER_USER, FILE_SIZE_LIMIT, READ_FAILS, WRITE_FAILS, SOURCE_GROWS };
static enum Way copyFault = PLAINLY;

/* The engine copies a file's bytes with copy_file_range; this one stands in for the system's,
 * and the next copy meets `copyFault`. */
ssize_t copy_file_range(int in, loff_t* inAt, int out, loff_t* outAt, size_t size, unsigned flags) {
    const enum Way fault = copyFault;
    copyFault = PLAINLY;
    if (fault == READ_FAILS || fault == WRITE_FAILS) {
        errno = fault == READ_FAILS ? EIO : ENOSPC;
        return -1;
    }
    if (fault == SOURCE_GROWS) {
        char path[64];
        snprintf(path, sizeof path, "/proc/self/fd/%d", in);
        const int source = open(path, O_WRONLY | O_APPEND);
        if (source < 0 || write(source, "+", 1) != 1)
            abort();
        close(source);
    }
    return (ssize_t)syscall(SYS_copy_file_range, in, inAt, out, outAt, size, flags);
}

enum Call {
    SIGN_FILE,
    SIGN_FILE_N,
    STRIP_FILE,
    CHECK_FILE,
    FILE_KIND,
    SIGN_BATCH,
    SIGN_BATCH_N,
    STRIP_BATCH,
    SIGN_FD,
    CHECK_FD
};

static void Counted(void* context, ptrdiff_t index, int status, const char* message) {
    (void)index, (void)status, (void)message;
    ++*(int*)context;
}

/* `call` from `source` to `output` (a file, a batch's folder, a descriptor's file); batches
 * count their reports in *reports. A descriptor to check is opened only for writing. */
static int Call(enum Call call, const char* source, const char* output, const char* text, int flags,
                int* reports) {
    const quorvane_item item = {source, NULL};
    char* found = NULL;
    const char *kind, *consequence;
    size_t count = 0;
    int status = QUORVANE_FAILED, input, sink;
    switch (call) {
    case SIGN_FILE:
        return quorvane_sign_file(source, output, text, flags);
    case SIGN_FILE_N:
        return quorvane_sign_file_n(source, output, text, strlen(text), flags);
    case STRIP_FILE:
        return quorvane_strip_file(source, output, flags);
    case CHECK_FILE:
        status = quorvane_check_file(source, &found);
        quorvane_free(found);
        return status;
    case FILE_KIND:
        return quorvane_file_kind(source, &kind, &consequence);
    case SIGN_BATCH:
        return quorvane_sign_batch(&item, 1, output, text, flags, 1, Counted, reports, &count);
    case SIGN_BATCH_N:
        return quorvane_sign_batch_n(&item, 1, output, text, strlen(text), flags, 1, Counted,
                                     reports, &count);
    case STRIP_BATCH:
        return quorvane_strip_batch(&source, 1, output, flags, 1, Counted, reports, &count);
    case SIGN_FD:
    case CHECK_FD:
        input = open(source, call == CHECK_FD ? O_WRONLY : O_RDONLY);
        sink = output != NULL ? open(output, O_WRONLY) : -1;
        CHECK(input >= 0 && (output == NULL || sink >= 0));
        status = call == CHECK_FD ? quorvane_check_fd(input, &found)
                                  : quorvane_sign_fd(input, sink, text);
        quorvane_free(found);
        close(input);
        if (sink >= 0)
            close(sink);
    }
    return status;
}

/* What is at `path`, to tell that a failure left it as it was: nothing, a file and its bytes,
 * or another kind of entry. */
static struct Buffer Snapshot(const char* path) {
    struct Buffer taken = {NULL, 0};
    struct stat facts;
    if (path == NULL || stat(path, &facts) != 0) {
        AddText(&taken, "none");
    } else if (S_ISREG(facts.st_mode)) {
        size_t size = 0;
        unsigned char* bytes = ReadFile(path, &size);
        AddText(&taken, "file ");
        if (bytes != NULL)
            Add(&taken, bytes, size);
        free(bytes);
    } else {
        AddNumber(&taken, (long long)(facts.st_mode & S_IFMT));
    }
    return taken;
}

/* Where `part` last occurs in `text`, or NULL. */
static const char* LastOf(const char* text, const char* part) {
    const char* last = NULL;
    for (const char* at = text; part != NULL && (at = strstr(at, part)) != NULL; ++at)
        last = at;
    return last;
}

/* Which of the two files `message` names last: 'S' the source, 'O' the output, '-' neither. */
static char NamedLast(const char* message, const char* source, const char* output) {
    const char* atSource = LastOf(message, source);
    const char* atOutput = LastOf(message, output);
    if (atSource == NULL && atOutput == NULL)
        return '-';
    return atOutput == NULL || (atSource != NULL && atSource > atOutput) ? 'S' : 'O';
}

/* `name` in the failures' folder, in `room`; an absolute name as it is. */
static char* In(char room[512], const char* name) {
    if (name == NULL)
        return NULL;
    if (name[0] == '/')
        snprintf(room, 512, "%s", name);
    else
        snprintf(room, 512, "%s/fail/%s", folder, name);
    return room;
}

struct Outcome {
    int status, errnum;
    char message[2048];
};

static struct Outcome Made(enum Way way, enum Call call, const char* source, const char* output,
                           const char* text, int flags) {
    struct Outcome outcome = {-1, 0, ""};
    int channel[2];
    pid_t child = -1;
    if (way == AS_ANOTHER_USER && geteuid() == 0) {
        CHECK(pipe(channel) == 0 && (child = fork()) >= 0);
        if (child > 0) {
            close(channel[1]);
            CHECK(read(channel[0], &outcome, sizeof outcome) == (ssize_t)sizeof outcome);
            close(channel[0]);
            waitpid(child, NULL, 0);
            return outcome;
        }
        if (setgroups(0, NULL) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(1);
    }
    struct rlimit before, lower;
    getrlimit(RLIMIT_FSIZE, &before);
    lower = before;
    lower.rlim_cur = 64 << 10;
    void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
    CHECK(way != FILE_SIZE_LIMIT || setrlimit(RLIMIT_FSIZE, &lower) == 0);
    copyFault = way >= READ_FAILS ? way : PLAINLY;
    int reports = 0;
    outcome.status = Call(call, source, output, text, flags, &reports);
    outcome.errnum = quorvane_last_errno();
    snprintf(outcome.message, sizeof outcome.message, "%s", quorvane_last_error());
    /* A fault that no copy met made nothing. */
    if (copyFault != PLAINLY)
        outcome.status = -1;
    copyFault = PLAINLY;
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, previous);
    if (child == 0) {
        CHECK(write(channel[1], &outcome, sizeof outcome) == (ssize_t)sizeof outcome);
        _exit(0);
    }
    return outcome;
}

static char tooLong[QUORVANE_MAX_TEXT_UNITS + 2];

/* Every failure of the functions over files, made for real: its status, the system's errno
 * behind it (0 for the library's own reasons and refusals), and the file its message names
 * last, the one at fault (S: the source, O: the output, -: neither). The output is left as it
 * was. */
static void Failures(void) {
    static const struct Failure {
        enum Call call;
        enum Way way;
        const char* source;
        const char* output;
        const char* text;
        int flags;
        int status;
        int errnum;
        char named;
    } rows[] = {
        {SIGN_FILE, PLAINLY, "missing.txt", "out.txt", "t", 0, QUORVANE_CANNOT_READ, ENOENT, 'S'},
        {SIGN_FILE, PLAINLY, "dir", "out.txt", "t", 0, QUORVANE_CANNOT_READ, 0, 'S'},
        {SIGN_FILE, PLAINLY, "fifo", "out.txt", "t", 0, QUORVANE_CANNOT_READ, 0, 'S'},
        {SIGN_FILE, AS_ANOTHER_USER, "locked.txt", "out.txt", "t", 0, QUORVANE_CANNOT_READ, EACCES,
         'S'},
        {SIGN_FILE, READ_FAILS, "plain.txt", "out.txt", "t", 0, QUORVANE_CANNOT_READ, EIO, 'S'},
        {SIGN_FILE, SOURCE_GROWS, "grows.txt", "out.txt", "t", 0, QUORVANE_CANNOT_READ, 0, 'S'},
        {SIGN_FILE, PLAINLY, "signed.txt", "out.txt", "t", 0, QUORVANE_ALREADY_SIGNED, 0, 'S'},
        {SIGN_FILE, PLAINLY, "plain.txt", "no/out.txt", "t", 0, QUORVANE_CANNOT_WRITE, ENOENT, 'O'},
        {SIGN_FILE_N, PLAINLY, "plain.txt", "signed.txt/out.txt", "t", 0, QUORVANE_CANNOT_WRITE,
         ENOTDIR, 'O'},
        {SIGN_FILE, PLAINLY, "plain.txt", "kept.txt", "t", 0, QUORVANE_OUTPUT_EXISTS, EEXIST, 'O'},
        {SIGN_FILE, AS_ANOTHER_USER, "plain.txt", "kept.txt", "t", QUORVANE_REPLACE,
         QUORVANE_CANNOT_WRITE, EACCES, 'O'},
        {SIGN_FILE, AS_ANOTHER_USER, "plain.txt", "closed/out.txt", "t", 0, QUORVANE_CANNOT_WRITE,
         EACCES, 'O'},
        {SIGN_FILE, PLAINLY, "plain.txt", "dir", "t", QUORVANE_REPLACE, QUORVANE_CANNOT_WRITE,
         EISDIR, 'O'},
        {SIGN_FILE, PLAINLY, "plain.txt", "./plain.txt", "t", QUORVANE_REPLACE,
         QUORVANE_CANNOT_WRITE, 0, 'O'},
        {SIGN_FILE, WRITE_FAILS, "plain.txt", "out.txt", "t", 0, QUORVANE_CANNOT_WRITE, ENOSPC,
         'O'},
        {SIGN_FILE, FILE_SIZE_LIMIT, "big.bin", "out.txt", "t", 0, QUORVANE_CANNOT_WRITE, EFBIG,
         'O'},
        {SIGN_FILE, PLAINLY, "plain.txt", "out.txt", tooLong, 0, QUORVANE_INVALID_TEXT, 0, '-'},
        {SIGN_FILE, PLAINLY, "plain.txt", "kept.txt", "t", 3, QUORVANE_INVALID_ARGUMENT, 0, '-'},
        {STRIP_FILE, PLAINLY, "missing.txt", "out.txt", "", 0, QUORVANE_CANNOT_READ, ENOENT, 'S'},
        {STRIP_FILE, PLAINLY, "fifo", "out.txt", "", 0, QUORVANE_CANNOT_READ, 0, 'S'},
        {STRIP_FILE, AS_ANOTHER_USER, "locked.txt", "out.txt", "", 0, QUORVANE_CANNOT_READ, EACCES,
         'S'},
        {STRIP_FILE, PLAINLY, "plain.txt", "out.txt", "", 0, QUORVANE_NOT_SIGNED, 0, 'S'},
        {STRIP_FILE, PLAINLY, "signed.txt", "no/out.txt", "", 0, QUORVANE_CANNOT_WRITE, ENOENT,
         'O'},
        {STRIP_FILE, PLAINLY, "signed.txt", "kept.txt", "", 0, QUORVANE_OUTPUT_EXISTS, EEXIST, 'O'},
        {STRIP_FILE, AS_ANOTHER_USER, "signed.txt", "kept.txt", "", QUORVANE_REPLACE,
         QUORVANE_CANNOT_WRITE, EACCES, 'O'},
        {STRIP_FILE, FILE_SIZE_LIMIT, "big_signed.bin", "out.txt", "", 0, QUORVANE_CANNOT_WRITE,
         EFBIG, 'O'},
        {STRIP_FILE, PLAINLY, "signed.txt", "kept.txt", "", 3, QUORVANE_INVALID_ARGUMENT, 0, '-'},
        {CHECK_FILE, PLAINLY, "missing.txt", NULL, "", 0, QUORVANE_CANNOT_READ, ENOENT, 'S'},
        {CHECK_FILE, PLAINLY, "dir", NULL, "", 0, QUORVANE_CANNOT_READ, 0, 'S'},
        {CHECK_FILE, AS_ANOTHER_USER, "locked.txt", NULL, "", 0, QUORVANE_CANNOT_READ, EACCES, 'S'},
        {CHECK_FILE, PLAINLY, "plain.txt", NULL, "", 0, QUORVANE_NOT_SIGNED, 0, 'S'},
        {FILE_KIND, PLAINLY, "fifo", NULL, "", 0, QUORVANE_CANNOT_READ, 0, 'S'},
        {FILE_KIND, AS_ANOTHER_USER, "locked.txt", NULL, "", 0, QUORVANE_CANNOT_READ, EACCES, 'S'},
        {SIGN_BATCH, PLAINLY, "plain.txt", "no", "t", 0, QUORVANE_CANNOT_WRITE, ENOENT, '-'},
        {SIGN_BATCH, PLAINLY, "plain.txt", "dir", tooLong, 0, QUORVANE_INVALID_TEXT, 0, '-'},
        {SIGN_BATCH, PLAINLY, "plain.txt", "dir", "t", 7, QUORVANE_INVALID_ARGUMENT, 0, '-'},
        {STRIP_BATCH, PLAINLY, "signed.txt", "plain.txt", "", 0, QUORVANE_CANNOT_WRITE, ENOTDIR,
         '-'},
        {SIGN_FD, PLAINLY, "plain.txt", "/dev/full", "t", 0, QUORVANE_CANNOT_WRITE, ENOSPC, '-'},
        {CHECK_FD, PLAINLY, "plain.txt", NULL, "", 0, QUORVANE_CANNOT_READ, EBADF, '-'},
    };
    memset(tooLong, 'x', QUORVANE_MAX_TEXT_UNITS + 1);
    char source[512], output[512];
    /* The other user reaches the failures' folder and writes in it, but neither reads
     * locked.txt nor writes in closed/ or over kept.txt. */
    chmod(folder, 0711);
    mkdir(In(source, ""), 0777);
    chmod(source, 0777);
    WriteFile(In(source, "plain.txt"), "plain", 5);
    WriteFile(In(source, "grows.txt"), "grows", 5);
    WriteFile(In(source, "locked.txt"), "locked", 6);
    chmod(source, 0);
    WriteFile(In(source, "kept.txt"), "kept", 4);
    chmod(source, 0444);
    mkdir(In(source, "dir"), 0755);
    mkdir(In(source, "closed"), 0555);
    mkfifo(In(source, "fifo"), 0644);
    unsigned char* big = calloc(1, 200000);
    WriteFile(In(source, "big.bin"), big, 200000);
    free(big);
    CHECK(quorvane_sign_file(In(source, "plain.txt"), In(output, "signed.txt"), "t", 0) ==
          QUORVANE_OK);
    CHECK(quorvane_sign_file(In(source, "big.bin"), In(output, "big_signed.bin"), "t", 0) ==
          QUORVANE_OK);
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const struct Failure* row = &rows[i];
        In(source, row->source);
        const char* out = In(output, row->output);
        struct Buffer before = Snapshot(out);
        const struct Outcome made = Made(row->way, row->call, source, out, row->text, row->flags);
        struct Buffer after = Snapshot(out);
        const char named = NamedLast(made.message, source, out);
        const int kept = SameBuffers(&before, &after);
        if (made.status != row->status || made.errnum != row->errnum || named != row->named ||
            !kept) {
            fprintf(stderr,
                    "%s:%d: failed: failure row %zu, %s to %s (last error: status %d errno %d "
                    "names %c%s, not %d %d %c: %s)\n",
                    __FILE__, __LINE__, i, row->source, row->output != NULL ? row->output : "-",
                    made.status, made.errnum, named, kept ? "" : ", the output changed",
                    row->status, row->errnum, row->named, made.message);
            ++failures;
        }
        free(before.data);
        free(after.data);
    }
}

/* Every function that takes flags, over an output that exists, for the flags 0 to 8 in turn:
 * R replaces it and K keeps it quietly (QUORVANE_OK), E keeps it (QUORVANE_OUTPUT_EXISTS), F
 * keeps it with a message (QUORVANE_FAILED), I refuses the flags (QUORVANE_INVALID_ARGUMENT):
 * unknown ones, and QUORVANE_REPLACE with QUORVANE_KEEP_QUIETLY, whatever else is given,
 * before anything is reported or written. All flags set (-1) are refused by each. */
static void Flags(void) {
    static const struct {
        enum Call call;
        const char* outcomes;
    } rows[] = {
        {SIGN_FILE, "ERIIIIIII"},  {SIGN_FILE_N, "ERIIIIIII"},  {STRIP_FILE, "ERIIIIIII"},
        {SIGN_BATCH, "FRKIFRKII"}, {SIGN_BATCH_N, "FRKIFRKII"}, {STRIP_BATCH, "FRKIIIIII"},
    };
    char* out = PathOf("flags-out");
    char* plain = PathOf("flags.txt");
    char* signedSource = PathOf("flags_signed.txt");
    char* signedCopy = PathOf("flags-out/flags_signed.txt");
    char* strippedCopy = PathOf("flags-out/flags.txt");
    mkdir(out, 0755);
    WriteFile(plain, "flags", 5);
    CHECK(quorvane_sign_file(plain, signedSource, "t", 0) == QUORVANE_OK);
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const int strip = rows[i].call == STRIP_FILE || rows[i].call == STRIP_BATCH;
        const int batch = rows[i].call >= SIGN_BATCH;
        const char* copy = strip ? strippedCopy : signedCopy;
        for (int flags = -1; flags <= 8; ++flags) {
            const char expected = flags < 0 ? 'I' : rows[i].outcomes[flags];
            static const int statuses[] = {['R'] = QUORVANE_OK,
                                           ['K'] = QUORVANE_OK,
                                           ['E'] = QUORVANE_OUTPUT_EXISTS,
                                           ['F'] = QUORVANE_FAILED,
                                           ['I'] = QUORVANE_INVALID_ARGUMENT};
            WriteFile(copy, "old", 3);
            int reports = 0;
            const int status = Call(rows[i].call, strip ? signedSource : plain, batch ? out : copy,
                                    "t", flags, &reports);
            size_t size = 0;
            unsigned char* now = ReadFile(copy, &size);
            const int kept = now != NULL && size == 3 && memcmp(now, "old", 3) == 0;
            free(now);
            if (status != statuses[(unsigned char)expected] || kept == (expected == 'R') ||
                (expected == 'I' && (reports != 0 || quorvane_last_errno() != 0))) {
                fprintf(stderr,
                        "%s:%d: failed: flags row %zu, flags %d (last error: status %d, %s, %d "
                        "reports)\n",
                        __FILE__, __LINE__, i, flags, status, kept ? "kept" : "replaced", reports);
                ++failures;
            }
        }
    }
    free(out);
    free(plain);
    free(signedSource);
    free(signedCopy);
    free(strippedCopy);
}

/* A source of files one at a time for the _from batches: `paths` in turn, failing with `fail`
 * instead of giving the one at `failAt`; what the callbacks were told, in their order. */
struct Source {
    const char* const* paths;
    size_t count, next, failAt;
    int fail;
    struct Buffer events;
    quorvane_progress last;
    size_t midCopy;
    uint64_t stopAbove; /* progress answers -3 once more bytes than this are copied */
};

static int NextPath(void* context, const char** path) {
    struct Source* source = context;
    if (source->next == source->failAt)
        return source->fail;
    if (source->next == source->count)
        return 0;
    *path = source->paths[source->next++];
    return 1;
}

static int NextItem(void* context, quorvane_item* item) {
    const char* path = NULL;
    const int answer = NextPath(context, &path);
    item->source = path;
    item->subfolder = NULL;
    return answer;
}

static int Told(void* context, const quorvane_progress* progress) {
    struct Source* source = context;
    /* Each call tells something new, never less than before, and no more files than given. */
    CHECK(progress->files_done >= source->last.files_done &&
          progress->files_known >= source->last.files_known &&
          progress->bytes_copied >= source->last.bytes_copied &&
          progress->files_done <= progress->files_known);
    if (progress->files_done == source->last.files_done &&
        progress->bytes_copied > source->last.bytes_copied)
        ++source->midCopy;
    source->last = *progress;
    AddText(&source->events, "progress ");
    AddNumber(&source->events, (long long)progress->files_done);
    AddText(&source->events, "\n");
    return progress->bytes_copied > source->stopAbove ? -3 : 0;
}

static void StreamReported(void* context, ptrdiff_t index, int status, const char* message) {
    Reported(&((struct Source*)context)->events, index, status, message);
}

static void StreamChecked(void* context, const quorvane_check_result* result) {
    Checked(&((struct Source*)context)->events, result);
}

/* The entries of a folder, without "." and "..". */
static int EntriesIn(const char* path) {
    DIR* dir = opendir(path);
    int entries = 0;
    for (struct dirent* entry; dir != NULL && (entry = readdir(dir)) != NULL;)
        entries += strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0;
    if (dir != NULL)
        closedir(dir);
    return entries;
}

/* Batches whose files come from the caller one at a time: results and progress in the order
 * of events, and a run stopped by a failing callback, before or inside a copy, leaves only
 * whole outputs. */
static void StreamedBatches(void) {
    char* out = PathOf("streamed");
    mkdir(out, 0755);
    char* a = PathOf("s-a.txt");
    char* big = PathOf("s-big.bin");
    char* missing = PathOf("s-missing.txt");
    WriteFile(a, "aaaa", 4);
    /* A hole, then a byte: its copy is told when the hole is passed (or, where the system
     * cannot tell holes, after each 64 MiB), in the middle. */
    const int fd = open(big, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    CHECK(fd >= 0 && pwrite(fd, "x", 1, 65 << 20) == 1 && close(fd) == 0);
    const char* paths[] = {a, missing, big};
    struct Source run = {paths, 3, 0, 99, 0, {NULL, 0}, {0, 0, 0}, 0, UINT64_MAX};
    size_t count = 9;
    CHECK(quorvane_sign_batch_from(NextItem, 0, out, "s", 1, 0, 1, NULL, 0, StreamReported, Told,
                                   &run, &count) == QUORVANE_FAILED &&
          count == 2 && strstr(quorvane_last_error(), "1 of 3") != NULL);
    const char* order[] = {"progress 1 ", "1 6 Could not open", "progress 2 ", "progress 3 ",
                           "-1 0 2 files encrypted"};
    const char* previous = run.events.data;
    for (int i = 0; i < 5; ++i) {
        const char* at = Find(&run.events, order[i], strlen(order[i]));
        CHECK(at != NULL && at >= previous);
        previous = at != NULL ? at : previous;
    }
    CHECK(run.last.files_done == 3 && run.last.files_known == 3 && run.midCopy >= 1 &&
          run.last.bytes_copied == 4 + (65 << 20) + 1);

    /* The progress callback fails inside the big copy: dropped, the file before it stays. */
    char* again = PathOf("streamed2");
    mkdir(again, 0755);
    const char* bigFirst[] = {a, big, a};
    struct Source stopped = {bigFirst, 3, 0, 99, 0, {NULL, 0}, {0, 0, 0}, 0, 1 << 20};
    CHECK(quorvane_sign_batch_from(NextItem, 3, again, "s", 1, 0, 1, NULL, 0, StreamReported, Told,
                                   &stopped, &count) == -3 &&
          count == 1 && strstr(quorvane_last_error(), "stopped") != NULL);
    CHECK(stopped.last.bytes_copied > (1 << 20) && stopped.last.bytes_copied < 4 + (65 << 20) + 1 &&
          EntriesIn(again) == 1);
    CHECK(Find(&stopped.events, "-1 0 File encrypted succesfully!", 32) != NULL);

    /* check: the source fails at its third file; the two before have their results. */
    const char* checkPaths[] = {a, missing, a, a};
    struct Source failing = {checkPaths, 4, 0, 2, -7, {NULL, 0}, {0, 0, 0}, 0, UINT64_MAX};
    CHECK(quorvane_check_batch_from(NextPath, 0, 1, StreamChecked, Told, &failing, &count) == -7 &&
          count == 0 && strstr(quorvane_last_error(), "next") != NULL);
    CHECK(Find(&failing.events, "\n1 6 -1 N", 9) != NULL &&
          Find(&failing.events, "\n2 ", 3) == NULL && failing.last.files_done == 2);

    /* strip: a null path ends the run; a source given in full is stripped with its progress. */
    char* copy = PathOf("streamed/s-a_signed.txt");
    const char* stripPaths[] = {copy, NULL};
    struct Source strip = {stripPaths, 2, 0, 99, 0, {NULL, 0}, {0, 0, 0}, 0, UINT64_MAX};
    CHECK(quorvane_strip_batch_from(NextPath, 0, again, QUORVANE_REPLACE, 1, NULL, 0,
                                    StreamReported, Told, &strip,
                                    &count) == QUORVANE_INVALID_ARGUMENT &&
          count == 1 && strip.last.files_done == 1 && strip.last.bytes_copied == 4);
    CHECK(quorvane_check_batch_from(NULL, 0, 1, NULL, NULL, NULL, &count) ==
          QUORVANE_INVALID_ARGUMENT);
    free(run.events.data);
    free(stopped.events.data);
    free(failing.events.data);
    free(strip.events.data);
    free(copy);
    free(again);
    free(out);
    free(a);
    free(big);
    free(missing);
}

int main(void) {
    if (mkdtemp(folder) == NULL) {
        perror("mkdtemp");
        return 2;
    }
    Versions();
    Memory();
    Files();
    Batch();
    ExactTexts();
    TailWalk();
    EngineFiles();
    CheckAndStripBatches();
    NumbersTextsAndPlans();
    RunInParts();
    Kinds();
    StreamKinds();
    Failures();
    Flags();
    StreamedBatches();
    char command[256];
    snprintf(command, sizeof command, "rm -rf '%s'", folder);
    if (system(command) != 0)
        ++failures;
    printf("%s\n", failures == 0 ? "libquorvane: every check passed" : "libquorvane: FAILED");
    return failures == 0 ? 0 : 1;
}
