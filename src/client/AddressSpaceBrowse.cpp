// The browse that reads a server's whole address space into the connection's tree, depth first,
// and numbers the items. Runs on the connect worker.
#include "CallDeadlines.h"
#include "ErrorString.h"
#include "Exception.h"
#include "Host.h"
#include "Logger.h"
#include "OPC_Connection.h"

using platform::ComPtr;

void OPC_Connection::readItems()
{
    LOGG(6, "%s: readItems()", prefix().c_str());
    ComPtr<IOPCBrowseServerAddressSpace> browser;
    IOPCServer* server = _data->iServer.get();
    HRESULT hr = connectStep("QueryInterface(IID_IOPCBrowseServerAddressSpace)", [&] {
        return server->QueryInterface(IID_IOPCBrowseServerAddressSpace, browser.putVoid());
    });
    if (SUCCEEDED(hr) && !browser) hr = E_NOINTERFACE;
    if (FAILED(hr))
        raiseLogged(textf("%s: QueryInterface(IID_IOPCBrowseServerAddressSpace) Failed: %s", prefix().c_str(),
                          ErrorString(hr).c_str()));
    // The browse starts wherever the server's position is; it is not moved to the root first.
    _browsedNodes = 0;
    _browseCut = false;
    browse(this, browser.get(), 0);
    collectItems(this);
}

void OPC_Connection::browse(OPC_Branch* branch, IOPCBrowseServerAddressSpace* browser, int depth)
{
    browseBranches(branch, browser, depth);
    browseLeaves(branch, browser);
}

void OPC_Connection::enumerateNames(IEnumString* names, const std::function<void(std::string&&)>& add)
{
    // One name per call, as long as the server answers S_OK with a name. The first other answer
    // (S_FALSE at the end, or an error) ends the enumeration without a log line.
    for (std::size_t count = 0; !_browseCut; ++count) {
        if (count == _limits.namesPerEnumeration || _browsedNodes >= _limits.nodes) {
            LOGG(2, "%s: browse stopped after %zu names in one list and %zu in all: the server's lists do not end",
                 prefix().c_str(), count, _browsedNodes);
            _browseCut = true;
            return;
        }
        LPOLESTR name = nullptr;
        ULONG fetched = 0;
        const HRESULT hr = connectStep(
            "IEnumString::Next", [&] { return names->Next(1, &name, &fetched); }, [&] { CoTaskMemFree(name); });
        if (hr != S_OK || !name) {
            CoTaskMemFree(name);
            return;
        }
        std::string narrow;
        try {
            narrow = toNarrow(name);
        } catch (...) {
            CoTaskMemFree(name);
            throw;
        }
        CoTaskMemFree(name);
        ++_browsedNodes;
        add(std::move(narrow));
    }
}

void OPC_Connection::browseBranches(OPC_Branch* branch, IOPCBrowseServerAddressSpace* browser, int depth)
{
    if (_browseCut) return;
    ComPtr<IEnumString> names;
    HRESULT hr = connectStep("BrowseOPCItemIDs(OPC_BRANCH)", [&] {
        return browser->BrowseOPCItemIDs(OPC_BRANCH, OLESTR(""), VT_EMPTY, 0, names.put());
    });
    if (FAILED(hr)) {
        LOGG(2, "BrowseOPCItemIDs(OPC_BRANCH) Failed: %s", ErrorString(hr).c_str());
        return;
    }
    if (!names) return;  // S_FALSE with no enumerator: nothing here
    try {
        enumerateNames(names.get(), [&](std::string&& name) {
            try {
                branch->addBranch(std::move(name));
            } catch (const std::bad_alloc&) {
                LOGG(2, "new OPC_Branch() Failed: not enough memory");
            }
        });
    } catch (const WorkGivenUp&) {
        throw;
    } catch (const CallNotAnswered&) {
        throw;
    } catch (...) {
        // An error raised while the enumeration runs ends it; the branches read so far stay.
    }
    names.reset();

    if (branch->branches().empty()) return;
    if (depth + 1 >= _limits.depth) {
        LOGG(2, "%s: browse stopped at depth %d below \"%s\": the tree is deeper than the browse follows",
             prefix().c_str(), depth + 1, branch->isConnection() ? "" : branch->path().c_str());
        return;
    }
    for (const auto& child : branch->branches()) {
        if (_browseCut) return;
        const platform::WideString wideName = toWide(child->name());
        hr = connectStep("ChangeBrowsePosition(OPC_BROWSE_DOWN)",
                         [&] { return browser->ChangeBrowsePosition(OPC_BROWSE_DOWN, wideName.c_str()); });
        if (FAILED(hr)) {
            LOGG(2, "ChangeBrowsePosition(OPC_BROWSE_DOWN) Failed: %s", ErrorString(hr).c_str());
            continue;
        }
        browse(child.get(), browser, depth + 1);
        hr = connectStep("ChangeBrowsePosition(OPC_BROWSE_UP)",
                         [&] { return browser->ChangeBrowsePosition(OPC_BROWSE_UP, OLESTR("")); });
        if (FAILED(hr)) {
            // The later siblings stay empty; the leaves of this branch are still read, from wherever
            // the server now is.
            LOGG(2, "ChangeBrowsePosition(OPC_BROWSE_UP) Failed: %s", ErrorString(hr).c_str());
            return;
        }
    }
}

void OPC_Connection::browseLeaves(OPC_Branch* branch, IOPCBrowseServerAddressSpace* browser)
{
    if (_browseCut) return;
    ComPtr<IEnumString> names;
    const HRESULT hr = connectStep("BrowseOPCItemIDs(OPC_LEAF)", [&] {
        return browser->BrowseOPCItemIDs(OPC_LEAF, OLESTR(""), VT_EMPTY, 0, names.put());
    });
    if (FAILED(hr)) {
        LOGG(2, "BrowseOPCItemIDs(OPC_LEAF) Failed: %s", ErrorString(hr).c_str());
        return;
    }
    if (!names) return;
    try {
        enumerateNames(names.get(), [&](std::string&& name) {
            try {
                branch->addLeaf(std::move(name));
            } catch (const std::bad_alloc&) {
                LOGG(2, "new OPC_Item() Failed: not enough memory");
            }
        });
    } catch (const WorkGivenUp&) {
        throw;
    } catch (const CallNotAnswered&) {
        throw;
    } catch (...) {
    }
}

void OPC_Connection::collectItems(OPC_Branch* branch)
{
    // Depth first, a branch's subtrees before its own leaves; the connection's own leaves last.
    for (const auto& child : branch->branches()) collectItems(child.get());
    for (const auto& leaf : branch->leaves()) _data->items.push_back(leaf.get());
}
