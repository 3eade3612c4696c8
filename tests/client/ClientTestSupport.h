// Helpers of the engine's tests: temporary folders, environment overrides that undo themselves,
// the classes root and the user registry pointed at test folders, the dispatcher driven from the
// test thread as the window drives it, and the log captured. Test thread only.
#pragma once

#include "client/Logger.h"
#include "client/WindowMessages.h"
#include "platform/RegistryFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace clienttest {

using namespace std::chrono_literals;

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tagvista-client-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        _path = pattern;
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

class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : _name(name)
    {
        if (const char* old = std::getenv(name)) _old = old;
        if (value) ::setenv(name, value->c_str(), 1);
        else ::unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (_old) ::setenv(_name.c_str(), _old->c_str(), 1);
        else ::unsetenv(_name.c_str());
    }

private:
    std::string _name;
    std::optional<std::string> _old;
};

// The classes root made of the given folders, and a user registry of its own, for the lifetime of
// the object.
class Registry {
public:
    explicit Registry(const std::string& classesPath)
        : _classes("TAGVISTA_CLASSES_PATH", classesPath), _config("XDG_CONFIG_HOME", _home.str())
    {
        platform::registry::reload();
    }
    ~Registry() { platform::registry::reload(); }
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
    TempDir _home;
    ScopedEnv _classes;
    ScopedEnv _config;
};

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
