// The operands of a command: those on its command line, then the paths of a list of files
// (--files-from), one per line or separated by NUL bytes, read as the run comes to them.
#pragma once

#include "Cli.h"
#include "FileIo.h"

#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

class CCliOperands {
public:
    explicit CCliOperands(std::vector<CliArg> given) : m_given(std::move(given)) {}

    // Takes the paths of the list `list` ("-": standard input, `in`) after the operands; false,
    // with the problem, when the list cannot be opened or its start cannot name a path.
    bool ListFrom(const std::filesystem::path& list, bool nulSeparated, std::FILE* in,
                  std::string& problem);
    // The operands on the command line.
    const std::vector<CliArg>& Given() const { return m_given; }
    // True when there is no operand at all, or exactly one (it reads ahead to know).
    bool None() { return !Ahead(1); }
    bool AtMostOne() { return !Ahead(2); }
    // The next operand without taking it; null when there is none.
    const CliArg* Peek() { return Ahead(1) ? &m_ahead.front() : nullptr; }
    // The next operand; false after the last, and at a list that stops naming paths part of
    // the way (Problem() then tells why: the operands before it were given).
    bool Next(CliArg& operand);
    // The next operand as a path, as Next; one whose path found no memory is still the next.
    bool NextPath(std::filesystem::path& path);
    const std::string& Problem() const { return m_problem; }
    // All the operands at once (a command that takes a few, such as one written to standard
    // output); false at a problem of the list.
    bool All(std::vector<CliArg>& operands);

private:
    // True when `count` operands are ready ahead.
    bool Ahead(std::size_t count);
    // Reads the list's next entry into m_ahead; false at its end or at a problem. What it read
    // is kept in m_entry until the entry is ahead, so that a read that found no memory goes on
    // where it was.
    bool ReadEntry();
    bool Refuse(std::string problem);

    std::vector<CliArg> m_given;
    std::size_t m_nextGiven = 0;
    std::deque<CliArg> m_ahead;
    // The list: its file, its name for messages, where the reader is in its current block.
    std::FILE* m_list = nullptr;
    UniqueFile m_opened;
    std::string m_name;
    bool m_nulSeparated = false;
    std::vector<char> m_block;
    std::size_t m_at = 0;
    std::size_t m_end = 0;
    std::string m_entry;
    bool m_entryRead = false; // m_entry is whole, its separator read
    bool m_ended = true;
    std::uint64_t m_total = 0;
    std::string m_problem;
};
