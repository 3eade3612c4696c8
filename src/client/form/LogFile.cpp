#include "client/form/LogFile.h"

#include "client/Logger.h"
#include "client/form/UserSettings.h"

#include <filesystem>
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

void startLogBesideExecutable()
{
    const std::string path = logFileBeside(settings::executablePath());
    if (path.empty()) return;
    std::error_code ignored;
    std::filesystem::remove(std::filesystem::u8path(path), ignored);  // none is fine too
    logg::Logger::instance().setFileName(path);
    logg::Logger::instance().setLevel(0);
}

} // namespace form
