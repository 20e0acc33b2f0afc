#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace qlmr {

// The launcher's records and the two report files built from them.

struct Stat {
    std::string value; // the number, already formatted with its unit
    std::string what;  // the words under it
};

struct Chapter {
    std::string key;   // "terrain", "creature", "pixels", "world": directory and section id
    std::string title;
    std::string text;
    std::string note;  // empty: none
    std::vector<std::string> images;    // picture file names in the report directory
    std::vector<std::string> frames;    // animation frames in the report directory
    std::int32_t fps = 0;
    std::vector<Stat> stats;
    std::vector<std::string> originals; // source sprites copied beside the page
    bool ok = false;
    double seconds = 0.0;
    // Pictures and sprite copies that could not be written into the report
    // directory (a full disk); the console names them after the outcome.
    std::vector<std::string> unwrittenFiles;
};

// Always listed in key order: cpu, driver, gpu, os, simd, threads.
using MachineDescription = std::map<std::string, std::string>;

// The collection endpoint the page's "Send results" button posts to.
std::string resultsEndpointUrl();

// The text of results.json; every text value has the home directory hidden.
std::string resultsJson(const std::string& date, const MachineDescription& machine,
                        const std::vector<Chapter>& chapters);

// The text of index.html; resultsText is embedded for the send button.
std::string reportHtml(const std::vector<Chapter>& chapters, const MachineDescription& machine,
                       const std::string& date, const std::string& resultsText);

// Writes index.html into the report directory; true when it was written whole.
bool writeReportHtml(const std::filesystem::path& reportDirectory, const std::vector<Chapter>& chapters,
                     const MachineDescription& machine, const std::string& date, const std::string& resultsText);

// Binary, truncating; true when the whole text was written and the file closed.
bool writeTextFile(const std::filesystem::path& path, const std::string& text);

} // namespace qlmr
