#include "client/form/LogFile.h"

#include "client/Logger.h"
#include "client/form/UserSettings.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace form {

std::string logFileBeside(const std::string& executablePath)
{
    if (executablePath.empty()) return {};
    std::string base = settings::fileNameOf(executablePath);
    const std::string folder = executablePath.substr(0, executablePath.size() - base.size());
    const std::size_t dot = base.find_last_of('.');
    if (dot != std::string::npos) base.resize(dot);
    return folder + base + ".log";
}

namespace {

// Deletes the previous run's file and tells whether the folder takes a new one; the file itself is
// made by the first line logged. Trying is the only sure test: permissions, read-only media and
// access lists all decide it.
bool canStartFile(const std::string& path)
{
    const std::filesystem::path file = std::filesystem::u8path(path);
    std::error_code ignored;
    std::filesystem::remove(file, ignored);  // none is fine too
    bool writable;
    {
        std::ofstream out(file, std::ios::trunc);
        writable = out.good();
    }
    std::filesystem::remove(file, ignored);
    return writable;
}

} // namespace

std::string startLog(const std::string& executablePath, const std::string& fallbackFolder)
{
    std::string path = logFileBeside(executablePath);
    if (path.empty()) return {};
    if (!canStartFile(path)) {
        path.clear();
        if (!fallbackFolder.empty()) {
            std::error_code ignored;
            std::filesystem::create_directories(std::filesystem::u8path(fallbackFolder), ignored);
            std::string inFolder = fallbackFolder;
            if (inFolder.find_last_of(settings::kPathSeparators) != inFolder.size() - 1) inFolder += '/';
            inFolder += settings::fileNameOf(logFileBeside(executablePath));
            if (canStartFile(inFolder)) path = inFolder;
        }
    }
    if (path.empty()) return {};
    logg::Logger::instance().setFileName(path);
    logg::Logger::instance().setLevel(0);
    return path;
}

void startWindowLog()
{
    startLog(settings::executablePath(), userLogFolder());
}

} // namespace form
