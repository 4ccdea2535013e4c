/* libquorvane through its C header only, as a C program that links it would use it. */
#define _POSIX_C_SOURCE 200809L
#include <quorvane.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
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
          needed == 16);
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
    free(copy);
    free(missing);
    free(tree);
    free(sub);
    free(a);
    free(b);
    free(out);
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
    char command[256];
    snprintf(command, sizeof command, "rm -rf '%s'", folder);
    if (system(command) != 0)
        ++failures;
    printf("%s\n", failures == 0 ? "libquorvane: every check passed" : "libquorvane: FAILED");
    return failures == 0 ? 0 : 1;
}
