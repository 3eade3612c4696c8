// Helpers of the engine's tests: temporary folders, the registry a test works in (the classes
// root and a user root of its own), the dispatcher driven from the test thread as the window
// drives it, and the log captured. Test thread only.
#pragma once

#include "client/Logger.h"
#include "client/WindowMessages.h"
#include "platform/OpcDa.h"
#include "servers/test/TestRegistry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace clienttest {

using namespace std::chrono_literals;

class TempDir {
public:
    TempDir()
    {
        // create_directory tells whether it made the folder: a name another process took is
        // never shared.
        std::random_device random;
        for (int attempt = 0; attempt < 100 && _path.empty(); ++attempt) {
            auto path = std::filesystem::temp_directory_path() / ("tagvista-client-" + std::to_string(random()));
            if (std::filesystem::create_directory(path)) _path = path;
        }
        if (_path.empty()) throw std::runtime_error("no temporary folder");
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string str() const { return _path.string(); }
    std::string operator/(const std::string& name) const { return (_path / name).string(); }
    void write(const std::string& name, const std::string& text) const
    {
        std::ofstream out(_path / name, std::ios::binary);
        out << text;
    }

private:
    std::filesystem::path _path;
};

// For the lifetime of the object: the classes root of this build tree's servers, or the one the
// .reg files of a folder make, and a user registry of the test's own.
class Registry {
public:
    Registry() = default;
    explicit Registry(const std::string& classesFolder) : _registry(classesFolder) {}
    void setUserDword(const char* key, const char* name, DWORD value)
    {
        HKEY handle = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(handle, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
                  ERROR_SUCCESS);
        RegCloseKey(handle);
    }

private:
    servers::test::TestRegistry _registry;
};

// What the system answers when the class is asked for as a connection asks for it (every
// context, this computer): a library that does not load fails with the system's own code.
inline HRESULT creationResult(const CLSID& clsid)
{
    MULTI_QI query{&IID_IOPCServer, nullptr, S_OK};
    const HRESULT hr = CoCreateInstanceEx(
        clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER, nullptr,
        1, &query);
    if (query.pItf) query.pItf->Release();
    return hr;
}

// Stands in for the main window: receives the five notifications through the dispatcher, on the
// test thread, and records them. Item notifications are only counted.
class Window {
public:
    struct Message {
        UINT id;
        const void* object;
    };

    Window()
    {
        auto& dispatcher = platform::Dispatcher::instance();
        dispatcher.bindMainThread();
        dispatcher.setHandler([this](UINT id, WPARAM w, LPARAM) {
            if (id == WM_ITEM_NEW_VALUE) {
                ++_itemValues[reinterpret_cast<const void*>(w)];
                ++_itemTotal;
            } else {
                _messages.push_back(Message{id, reinterpret_cast<const void*>(w)});
            }
            if (onMessage) onMessage(id, w);
        });
    }
    ~Window()
    {
        // Nothing may reach a handler that refers to this object any more.
        auto& dispatcher = platform::Dispatcher::instance();
        dispatcher.setHandler(nullptr);
        dispatcher.processAll();
    }

    // Runs sent and posted messages until done() or the deadline.
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s)
    {
        return platform::Dispatcher::instance().pumpUntil(done, timeout);
    }
    void pumpFor(std::chrono::milliseconds time)
    {
        platform::Dispatcher::instance().pumpUntil([] { return false; }, time);
    }

    int count(UINT id, const void* object = nullptr) const
    {
        int n = 0;
        for (const Message& m : _messages) n += m.id == id && (!object || m.object == object);
        return n;
    }
    std::vector<UINT> sequence(const void* object) const
    {
        std::vector<UINT> ids;
        for (const Message& m : _messages)
            if (m.object == object) ids.push_back(m.id);
        return ids;
    }
    int itemValues(const void* item) const
    {
        const auto it = _itemValues.find(item);
        return it == _itemValues.end() ? 0 : it->second;
    }
    long itemTotal() const { return _itemTotal; }
    void forget()
    {
        _messages.clear();
        _itemValues.clear();
        _itemTotal = 0;
    }

    std::function<void(UINT, WPARAM)> onMessage;

private:
    std::vector<Message> _messages;
    std::map<const void*, int> _itemValues;
    long _itemTotal = 0;
};

// The log at the given threshold into a file of its own while the object lives.
class LogCapture {
public:
    explicit LogCapture(int level = 7)
    {
        auto& logger = logg::Logger::instance();
        _oldLevel = logger.level();
        logger.setFileName(_dir / "capture.log");
        logger.setLevel(level);
    }
    ~LogCapture()
    {
        auto& logger = logg::Logger::instance();
        logger.setFileName("");
        logger.setLevel(_oldLevel);
    }
    std::vector<std::string> lines() const
    {
        std::ifstream in(_dir / "capture.log");
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);) out.push_back(line.size() > 13 ? line.substr(13) : line);
        return out;
    }
    bool contains(const std::string& text) const { return count(text) > 0; }
    int count(const std::string& text) const
    {
        int n = 0;
        for (const auto& line : lines()) n += line.find(text) != std::string::npos;
        return n;
    }
    std::string all() const
    {
        std::string text;
        for (const auto& line : lines()) text += line + "\n";
        return text;
    }

private:
    TempDir _dir;
    int _oldLevel = 0;
};

} // namespace clienttest
