// C streams on Windows: wide-character paths and 64-bit positions.
#include "FileIo.h"

#include <string>

UniqueFile OpenFile(const std::filesystem::path& path, const char* mode) {
    std::wstring wideMode;
    for (const char* c = mode; *c != '\0'; ++c)
        wideMode.push_back(static_cast<wchar_t>(*c));
    return UniqueFile(_wfopen(path.c_str(), wideMode.c_str()));
}

bool SeekFile(std::FILE* file, std::int64_t offset, int origin) {
    return _fseeki64(file, offset, origin) == 0;
}

std::int64_t TellFile(std::FILE* file) {
    return _ftelli64(file);
}
