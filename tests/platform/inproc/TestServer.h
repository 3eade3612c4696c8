// The classes and the one interface of the in-process test server that the activation tests
// create through the classes root; shared by the server library and the tests.
#pragma once

#include "platform/Unknown.h"

// {6A1F0C21-3B7E-4E55-9C1D-0B2D4A6F7E01}: created normally.
constexpr CLSID CLSID_TestValue = {0x6A1F0C21, 0x3B7E, 0x4E55, {0x9C, 0x1D, 0x0B, 0x2D, 0x4A, 0x6F, 0x7E, 0x01}};
// The same server registered with a path relative to the .reg file.
constexpr CLSID CLSID_TestValueRelative = {0x6A1F0C21, 0x3B7E, 0x4E55, {0x9C, 0x1D, 0x0B, 0x2D, 0x4A, 0x6F, 0x7E, 0x02}};
// The same server registered as an expandable string naming an environment variable.
constexpr CLSID CLSID_TestValueExpand = {0x6A1F0C21, 0x3B7E, 0x4E55, {0x9C, 0x1D, 0x0B, 0x2D, 0x4A, 0x6F, 0x7E, 0x03}};
// Its class factory fails every CreateInstance with E_ACCESSDENIED.
constexpr CLSID CLSID_TestFailingFactory = {0x6A1F0C21, 0x3B7E, 0x4E55, {0x9C, 0x1D, 0x0B, 0x2D, 0x4A, 0x6F, 0x7E, 0x04}};
// Registered to the server, which does not know it (CLASS_E_CLASSNOTAVAILABLE).
constexpr CLSID CLSID_TestUnknownToServer = {0x6A1F0C21, 0x3B7E, 0x4E55, {0x9C, 0x1D, 0x0B, 0x2D, 0x4A, 0x6F, 0x7E, 0x05}};
// Its class factory throws a C++ exception.
constexpr CLSID CLSID_TestThrowingFactory = {0x6A1F0C21, 0x3B7E, 0x4E55, {0x9C, 0x1D, 0x0B, 0x2D, 0x4A, 0x6F, 0x7E, 0x06}};
// Registered to a library that does not exist.
constexpr CLSID CLSID_TestMissingLibrary = {0x6A1F0C21, 0x3B7E, 0x4E55, {0x9C, 0x1D, 0x0B, 0x2D, 0x4A, 0x6F, 0x7E, 0x07}};
// Registered to a library without DllGetClassObject.
constexpr CLSID CLSID_TestNoExport = {0x6A1F0C21, 0x3B7E, 0x4E55, {0x9C, 0x1D, 0x0B, 0x2D, 0x4A, 0x6F, 0x7E, 0x08}};
// Has a class key but only a local-server entry, no InprocServer32.
constexpr CLSID CLSID_TestLocalOnly = {0x6A1F0C21, 0x3B7E, 0x4E55, {0x9C, 0x1D, 0x0B, 0x2D, 0x4A, 0x6F, 0x7E, 0x09}};
// Its InprocServer32 default value is a number, not a path.
constexpr CLSID CLSID_TestBadValue = {0x6A1F0C21, 0x3B7E, 0x4E55, {0x9C, 0x1D, 0x0B, 0x2D, 0x4A, 0x6F, 0x7E, 0x0A}};
// Not registered at all.
constexpr CLSID CLSID_TestNotRegistered = {0x6A1F0C21, 0x3B7E, 0x4E55, {0x9C, 0x1D, 0x0B, 0x2D, 0x4A, 0x6F, 0x7E, 0x0B}};

// {6A1F0C21-3B7E-4E55-9C1D-0B2D4A6F7F01}
constexpr IID IID_ITestValue = {0x6A1F0C21, 0x3B7E, 0x4E55, {0x9C, 0x1D, 0x0B, 0x2D, 0x4A, 0x6F, 0x7F, 0x01}};

// A value that lives in the object, and the number of server objects (class factories
// included) alive in the library, so that tests see every reference given back.
struct ITestValue : IUnknown {
    static const IID& iid() { return IID_ITestValue; }
    virtual HRESULT STDMETHODCALLTYPE GetValue(LONG* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetValue(LONG value) = 0;
    virtual HRESULT STDMETHODCALLTYPE LiveObjects(LONG* count) = 0;
};
