// Resource identifiers of the window program on Windows, shared by tagvista.rc and the code.
#pragma once

// The eight pictures of the tree and the table, in form::Picture order (icons, 16x16).
#define IDI_PICTURE_FIRST 100
// The program's own icon (the host picture).
#define IDI_TAGVISTA 120

// The remote host dialog.
#define IDD_HOST_DIALOG 200
#define IDC_HOST_LABEL 201
#define IDC_HOST_EDIT 202
#define IDC_CHOOSE_COMPUTER 203

// The tree's popup menu.
#define IDM_CONNECT 300
#define IDM_DISCONNECT 301
#define IDM_CONNECT_REMOTE_HOST 302

// The list of known computers, where the system has no network browser.
#define IDD_COMPUTER_PICKER 400
#define IDC_PICKER_STATUS 401
#define IDC_PICKER_LIST 402
