// The browse that reads a server's whole address space into the connection's tree, depth first,
// and numbers the items: through the DA 2.0 browser, which moves through the tree, or the DA 3.0
// one, which lists a branch by its item id. Both read the same tree in the same order, so the
// items get the same numbers. Runs on the connect worker.
#include "CallDeadlines.h"
#include "ErrorString.h"
#include "Exception.h"
#include "Host.h"
#include "Logger.h"
#include "OPC_Connection.h"

#include <utility>

using platform::ComPtr;

namespace {

// Frees what one Browse call handed out: the elements with their strings and properties.
void freeElements(OPCBROWSEELEMENT* elements, DWORD count)
{
    if (!elements) return;
    for (DWORD i = 0; i < count; ++i) {
        OPCBROWSEELEMENT& element = elements[i];
        CoTaskMemFree(element.szName);
        CoTaskMemFree(element.szItemID);
        OPCITEMPROPERTY* properties = element.ItemProperties.pItemProperties;
        if (!properties) continue;
        for (DWORD p = 0; p < element.ItemProperties.dwNumProperties; ++p) {
            CoTaskMemFree(properties[p].szItemID);
            CoTaskMemFree(properties[p].szDescription);
            VariantClear(&properties[p].vValue);
        }
        CoTaskMemFree(properties);
    }
    CoTaskMemFree(elements);
}

// Calls in a row that list nothing yet hand out another continuation point: past this many the
// server is taken to go round in circles.
constexpr int kMaxEmptyContinuations = 100;

} // namespace

void OPC_Connection::readItems()
{
    LOGG(6, "%s: readItems()", prefix().c_str());
    _browsedNodes = 0;
    _browseCut = false;
    IOPCServer* server = _data->iServer.get();
    const Browser choice = _interfaces.browser;

    HRESULT hr = E_NOINTERFACE;
    ComPtr<IOPCBrowseServerAddressSpace> browser;
    if (choice != Browser::Da3) {
        hr = connectStep("QueryInterface(IID_IOPCBrowseServerAddressSpace)", [&] {
            return server->QueryInterface(IID_IOPCBrowseServerAddressSpace, browser.putVoid());
        });
        if (SUCCEEDED(hr) && !browser) hr = E_NOINTERFACE;
        if (SUCCEEDED(hr)) {
            LOGG(5, "%s: the address space is read through the DA 2.0 browser (IOPCBrowseServerAddressSpace)",
                 prefix().c_str());
            // The browse starts wherever the server's position is; it is not moved to the root first.
            browse(this, browser.get(), 0);
            collectItems(this);
            return;
        }
    }
    const std::string da2Failure = textf("%s: QueryInterface(IID_IOPCBrowseServerAddressSpace) Failed: %s",
                                         prefix().c_str(), ErrorString(hr).c_str());
    if (choice == Browser::Da2) raiseLogged(da2Failure);

    ComPtr<IOPCBrowse> browser3;
    hr = connectStep("QueryInterface(IID_IOPCBrowse)",
                     [&] { return server->QueryInterface(IID_IOPCBrowse, browser3.putVoid()); });
    if (SUCCEEDED(hr) && !browser3) hr = E_NOINTERFACE;
    if (FAILED(hr)) {
        // Without either browser, the older one is the one the server should have had.
        if (choice == Browser::Auto) raiseLogged(da2Failure);
        raiseLogged(textf("%s: QueryInterface(IID_IOPCBrowse) Failed: %s", prefix().c_str(), ErrorString(hr).c_str()));
    }
    LOGG(5, "%s: the address space is read through the DA 3.0 browser (IOPCBrowse)", prefix().c_str());
    browse3(this, browser3.get(), 0);
    collectItems(this);
}

void OPC_Connection::browse3(OPC_Branch* branch, IOPCBrowse* browser, int depth)
{
    listElements(branch, browser, OPC_BROWSE_FILTER_BRANCHES, [&](std::string&& name, std::string&& id) {
        try {
            OPC_Branch* child = branch->addBranch(std::move(name));
            child->setItemId(std::move(id));
        } catch (const std::bad_alloc&) {
            LOGG(2, "new OPC_Branch() Failed: not enough memory");
        }
    });
    if (!branch->branches().empty() && depth + 1 >= _limits.depth) {
        LOGG(2, "%s: browse stopped at depth %d below \"%s\": the tree is deeper than the browse follows",
             prefix().c_str(), depth + 1, branch->isConnection() ? "" : branch->path().c_str());
    } else {
        for (const auto& child : branch->branches()) {
            if (_browseCut) break;
            browse3(child.get(), browser, depth + 1);
        }
    }
    listElements(branch, browser, OPC_BROWSE_FILTER_ITEMS, [&](std::string&& name, std::string&& id) {
        try {
            OPC_Item* leaf = branch->addLeaf(std::move(name));
            leaf->setItemId(std::move(id));
        } catch (const std::bad_alloc&) {
            LOGG(2, "new OPC_Item() Failed: not enough memory");
        }
    });
}

void OPC_Connection::listElements(OPC_Branch* branch, IOPCBrowse* browser, OPCBROWSEFILTER filter,
                                  const std::function<void(std::string&&, std::string&&)>& add)
{
    if (_browseCut) return;
    const char* call = filter == OPC_BROWSE_FILTER_BRANCHES ? "IOPCBrowse::Browse(OPC_BROWSE_FILTER_BRANCHES)"
                                                            : "IOPCBrowse::Browse(OPC_BROWSE_FILTER_ITEMS)";
    platform::WideString id = toWide(branch->isConnection() ? std::string() : branch->itemId());
    platform::WideString none;
    // No properties are asked for, but the list's pointer is a reference one: a proxy refuses null.
    DWORD noProperties = 0;
    LPWSTR point = nullptr;  // the continuation point the server handed out last; ours to free
    std::size_t listed = 0;
    int emptyRounds = 0;
    try {
        while (!_browseCut) {
            BOOL more = FALSE;
            DWORD count = 0;
            OPCBROWSEELEMENT* elements = nullptr;
            const HRESULT hr = connectStep(
                call,
                [&] {
                    return browser->Browse(id.data(), &point, 0, filter, none.data(), none.data(), FALSE, FALSE, 0,
                                           &noProperties, &more, &count, &elements);
                },
                [&] {
                    freeElements(std::exchange(elements, nullptr), count);
                    CoTaskMemFree(std::exchange(point, nullptr));
                });
            if (FAILED(hr)) {
                LOGG(2, "%s Failed: %s", call, ErrorString(hr).c_str());
                freeElements(elements, count);
                break;
            }
            const DWORD received = elements ? count : 0;
            for (DWORD i = 0; i < received && !_browseCut; ++i) {
                if (listed == _limits.namesPerEnumeration || _browsedNodes >= _limits.nodes) {
                    LOGG(2, "%s: browse stopped after %zu names in one list and %zu in all: the server's lists do "
                            "not end",
                         prefix().c_str(), listed, _browsedNodes);
                    _browseCut = true;
                    break;
                }
                const OPCBROWSEELEMENT& element = elements[i];
                if (!element.szName) continue;
                std::string name;
                std::string itemId;
                try {
                    name = toNarrow(element.szName);
                    if (element.szItemID) itemId = toNarrow(element.szItemID);
                } catch (...) {
                    freeElements(elements, count);
                    throw;
                }
                ++listed;
                ++_browsedNodes;
                add(std::move(name), std::move(itemId));
            }
            freeElements(elements, count);
            // A point that is not empty is what says more follow: servers disagree on the flag.
            if (!point || !*point) break;
            emptyRounds = received ? 0 : emptyRounds + 1;
            if (emptyRounds == kMaxEmptyContinuations) {
                LOGG(2, "%s: browse stopped after %d continuation points in a row that listed nothing",
                     prefix().c_str(), emptyRounds);
                _browseCut = true;
            }
        }
    } catch (const WorkGivenUp&) {
        throw;  // what the late call handed out is freed already
    } catch (const CallNotAnswered&) {
        CoTaskMemFree(point);
        throw;
    } catch (...) {
        // An error raised while the list is read ends it; the elements read so far stay.
    }
    CoTaskMemFree(point);
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
