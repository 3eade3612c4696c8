// The five notifications from workers and callback threads to the main window. Each carries the
// object concerned as wParam and 0 as lParam.
#pragma once

#include "platform/Dispatcher.h"

// Posted by the completion step of a host walk, on the main thread; wParam: the Host.
constexpr UINT WM_HOST_CONNECTED = WM_USER + 1;
// Sent by the connect worker after the status and the browse, before the subscription; the worker
// waits while the window shows the tree. wParam: the OPC_Connection.
constexpr UINT WM_SERVER_CONNECTED = WM_USER + 2;
// Sent by the completion step of a connect worker, on the main thread. wParam: the OPC_Connection.
constexpr UINT WM_SERVER_READY = WM_USER + 3;
// Sent by the completion step of a disconnect worker, on the main thread. wParam: the OPC_Connection.
constexpr UINT WM_SERVER_DISCONNECTED = WM_USER + 4;
// Posted from a data-change callback thread after an item's value was stored. wParam: the OPC_Item.
constexpr UINT WM_ITEM_NEW_VALUE = WM_USER + 5;

static_assert(WM_HOST_CONNECTED == 1025 && WM_ITEM_NEW_VALUE == 1029);
