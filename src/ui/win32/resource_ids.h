// Identifiers of the resources in kesp.rc: menus, dialogs, controls and command ids. Shared by
// the resource script and the windows' code, so only #define lines belong here.
#pragma once

// Menus.
#define IDR_MAINMENU 100
#define IDR_LISTVIEWMENU 101
#define IDR_LOGSMENU 102
#define IDR_TRAYMENU 103

// Main menu items.
#define IDM_menuInstallService 1001
#define IDM_menuUninstallService 1002
#define IDM_menuExit 1003
#define IDM_None1 1010
#define IDM_menuBossKey 1011
#define IDM_menuAbout 1020
// Entries of the Language menu get ids from this range, in menu order.
#define IDM_LANGUAGE_FIRST 1100
#define IDM_LANGUAGE_LAST 1199

// ListViewMenu items: IDM_LISTVIEWMENU_FIRST plus the item's position in the menu
// (separators included, so the position is the ListMenuItem value).
#define IDM_LISTVIEWMENU_FIRST 2000
#define IDM_menuPauseServer 2000
#define IDM_menuUnpauseServer 2001
#define IDM_Separator1 2002
#define IDM_menuEditServer 2003
#define IDM_menuNewServer 2004
#define IDM_menuDeleteServer 2005
#define IDM_Separator2 2006
#define IDM_menuShowServer 2007
#define IDM_menuHideServer 2008
#define IDM_Separator3 2009
#define IDM_menuRestartServer 2010
#define IDM_menuCloseServer 2011

// menuLogs.
#define IDM_N1 2100

// TrayMenu: menuShowWindow (the default item), miSeparator, menuExit2.
#define IDM_menuShowWindow 2200
#define IDM_menuExit2 2202

// Dialogs.
#define IDD_frmAddServer 200
#define IDD_frmAbout 201
#define IDD_frmSetBossKey 202

// frmAddServer's controls, in tab order.
#define IDC_lblServerName 300
#define IDC_edtName 301
#define IDC_lblPriority 302
#define IDC_cbbPriority 303
#define IDC_cbbHideServer 304
#define IDC_lblExeFile 305
#define IDC_edtFileName 306
#define IDC_btnBrowse 307
#define IDC_lblParams 308
#define IDC_edtParams 309
#define IDC_btnOK 310
#define IDC_btnCancel 311
#define IDC_btnProcessAffinity 312
#define IDC_gbProcessAffinity 313
#define IDC_cbCPU0 320  // cbCPU0 to cbCPU31: 320 to 351

// frmAbout's controls.
#define IDC_imgIcon 400
#define IDC_lblSummary 401
#define IDC_lblMakers1 402
#define IDC_lblMakers2 403
#define IDC_lblEmail 404
#define IDC_lblEmailAddress 405
#define IDC_lblUrl 406
#define IDC_btnOk 407

// frmSetBossKey's controls; its OK and Cancel buttons are IDC_btnOK and IDC_btnCancel too.
#define IDC_cbUseBossKey 700
#define IDC_HotKey1 701

// The main window's child windows.
#define IDC_pgcMain 500
#define IDC_LV 501
#define IDC_memLogs 502
#define IDC_stsbSelfTest 503

// The drag cursor of a list row.
#define IDCUR_DRAGMOVE 600
