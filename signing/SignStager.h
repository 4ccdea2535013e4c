// The stager of a sign run: for one file, opens its source, checks it, and copies it with its
// trailer into a nameless output that waits for the file's turn. It tells the observer
// nothing and may run on any thread; the driver (SignEngine.cpp) decides what the staging
// means in the file's turn.
#pragma once

#include "ByteIo.h"
#include "FileKinds.h"
#include "FileOps.h"
#include "OutputFolder.h"
#include "PendingOutput.h"
#include "RetryPolicy.h"
#include "SigCodeTable.h"
#include "SignEngine.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <system_error>
#include <vector>

// What one thread keeps from file to file.
struct CStagingState {
    // The writer's table, kept while the signing second lasts; the reader's, for the seeds
    // stored in the sources.
    CSigCodeTable table;
    CSigCodeTable readTable;
    std::vector<std::uint8_t> buffer;
};

// Why a staging failed: the message, its cause and whose fault it is.
struct StageFailure {
    signtext::MessageId id = signtext::MessageId::CannotSign;
    std::error_code error;
    Culprit culprit = Culprit::Output;
};

// One file staged.
struct StagedFile {
    const SignItem* item = nullptr;
    StageStatus status = StageStatus::Staged;
    StageFailure failure; // with StageStatus::Failed
    // Where the copy goes, once the source opened, and its folder, once open.
    std::filesystem::path output;
    OutputFolderPtr folder;
    FileFacts facts;
    // The source's kind, when the run asks (see KindPolicy).
    FileKind kind = FileKind::Other;
    // The complete copy, nameless; none when the file's turn refuses it anyway (a name that
    // no file system takes, a kind the run leaves out).
    CPendingOutput pending;

    // A failure the machine may have caused, short of what other files in flight held.
    bool Shortage() const;
};

class CStager {
public:
    CStager(const SignRequest& request, CByteIo& io) : m_request(request), m_io(io) {}

    // Stages `file.item` into `file` (any thread). `progress` is told the bytes copied and
    // may stop the copy; the run's control stops it too.
    void Stage(StagedFile& file, CStagingState& state, const CopyProgress& progress) const;

    // True when the run leaves the file out for its kind.
    bool LeavesOut(FileKind kind) const {
        return m_request.kinds == KindPolicy::LeaveOut && KindObjects(kind);
    }

private:
    bool OpenSource(StagedFile& file, UniqueFile& source, CStagingState& state) const;
    void Copy(StagedFile& file, UniqueFile& source, CStagingState& state,
              const CopyProgress& progress) const;
    // The open folder `below` in `root`, for any thread.
    OutputFolderPtr Folder(const std::filesystem::path& root, const std::filesystem::path& below,
                           std::error_code& error) const;

    const SignRequest& m_request;
    CByteIo& m_io;
    // The folder of the last source opened from a listing, for every thread.
    mutable ListedFolder m_listedFolder;
    // The folder of the last copy, open: the next file usually goes there too. One for all
    // threads, so that no thread holds a descriptor the others run short of.
    mutable std::mutex m_folderLock;
    mutable OutputFolderPtr m_folder;
};

// The outcome a failure gives its file.
SignOutcome OutcomeOf(signtext::MessageId failure);

// Longer file names are refused by the usual file systems (255 bytes or UTF-16 units).
inline constexpr std::size_t kMaxNameLength = 255;
