#include "platform/ComRuntime.h"
#include "platform/Text.h"

#include <string_view>

namespace platform {

bool isThisComputer(const char* name)
{
    if (!name) return true;
    std::string_view text(name);
    while (!text.empty() && text.front() == '\\') text.remove_prefix(1);
    if (text.empty() || equalNoCase(text, "localhost") || text == "127.0.0.1" || text == "::1") return true;
    const std::string self = computerName();
    if (equalNoCase(text, self)) return true;
    // A host name set as a full domain name also answers to its first label.
    const std::size_t dot = self.find('.');
    return dot != std::string::npos && equalNoCase(text, std::string_view(self).substr(0, dot));
}

// The interfaces a MULTI_QI asks for, from a created object whose reference it then lets go.
HRESULT answerQueries(IUnknown* object, DWORD dwCount, MULTI_QI* pResults)
{
    DWORD obtained = 0;
    for (DWORD i = 0; i < dwCount; ++i) {
        MULTI_QI& entry = pResults[i];
        void* itf = nullptr;
        try {
            entry.hr = object->QueryInterface(*entry.pIID, &itf);
        } catch (...) {
            entry.hr = RPC_E_SERVERFAULT;
        }
        if (SUCCEEDED(entry.hr) && itf) {
            entry.hr = S_OK;
            entry.pItf = static_cast<IUnknown*>(itf);
            ++obtained;
        } else {
            if (SUCCEEDED(entry.hr)) entry.hr = E_NOINTERFACE;  // success without a pointer
            entry.pItf = nullptr;
        }
    }
    object->Release();
    if (obtained == dwCount) return S_OK;
    return obtained > 0 ? CO_S_NOTALLINTERFACES : E_NOINTERFACE;
}

} // namespace platform
