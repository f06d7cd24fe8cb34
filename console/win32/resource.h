// The numbers of the console's resources and controls, shared by the resource script, the views
// and the tests. Controls are named after the components of the forms (IDC_ComputerCB is
// ComputerCB), menu items after their items (ID_Connectto1 is Connectto1), so that a test finds
// every control by the name the form logic gives it.
#pragma once

// Menus and accelerators.
#define IDM_MainMenu 100
#define IDM_PopupMenu1 101       // the address list's pop-up menu
#define IDM_FilterPopupMenu 102  // the filter list's pop-up menu
#define IDA_MainForm 110

// Main menu and pop-up menu items.
#define ID_Connectto1 1001
#define ID_Installto1 1002
#define ID_Removefrom1 1003
#define ID_Startat1 1004
#define ID_Stopat1 1005
#define ID_Exit1 1006
#define ID_EnableF 1011
#define ID_DisableF 1012
#define ID_ConfigureF 1013
#define ID_SaveF 1014
#define ID_RestoreF 1015
#define ID_Readlog1 1021
#define ID_Clearlogat1 1022
#define ID_Readfilterslog1 1023
#define ID_ClearFiltersLog1 1024
#define ID_About 1031
#define ID_EnableFiltering 1041
#define ID_DisableFiltering 1042
#define ID_EditFiltersList 1043
#define ID_Statistics1 1044
#define ID_AddFilter1 1051
#define ID_DeleteFilter1 1052

// The main window's controls (made by the program, not by a template).
#define IDC_SpeedButton1 1101  // "Connect to"
#define IDC_BitBtn1 1102       // the hidden button that opens the statistics window
#define IDC_IPListView 1103
#define IDC_StatusBar1 1104

// Dialogs, in the order the program creates them.
#define IDD_TestForm 200
#define IDD_IntMTForm 201
#define IDD_EnableFilteringForm 202
#define IDD_FilterListForm 203
#define IDD_EditFilterForm 204
#define IDD_SelectComputerForm 205
#define IDD_DebugForm 206

// Select Computer. Ok and Cancel are the dialog's default and cancel buttons.
#define IDC_Panel1 2001
#define IDC_Panel2 2002
#define IDC_Label1 2003
#define IDC_ComputerCB 2004
#define IDC_OkBtn 1      // IDOK
#define IDC_CancelBtn 2  // IDCANCEL

// Filter Property.
#define IDC_GroupBox1 2101
#define IDC_GroupBox2 2102
#define IDC_GroupBox3 2103
#define IDC_Label2 2104
#define IDC_ForwardInRB 2105
#define IDC_DropInRB 2106
#define IDC_InFiltersBtn 2107
#define IDC_ForwardOutRB 2108
#define IDC_DropOutRB 2109
#define IDC_OutFiltersBtn 2110
#define IDC_FCCB 2111
#define IDC_SHCCB 2112
#define IDC_CFFCCB 2113
#define IDC_SpeedButton3 1  // Ok
#define IDC_SpeedButton4 2  // Cancel

// Enable Filtering: "Enable" is the default button.
#define IDC_InFwRadioButton 2201
#define IDC_InDropRadioButton 2202
#define IDC_OutFwRadioButton 2203
#define IDC_OutDropRadioButton 2204
#define IDC_EnableBtn 1        // SpeedButton1, "Enable"
#define IDC_EnableCancelBtn 2  // SpeedButton2, "Cancel"

// Filter list: "Exit" closes it as Escape does.
#define IDC_AddBtn 2301  // SpeedButton1, "Add"
#define IDC_DelBtn 2302
#define IDC_ExitBtn 2  // SpeedButton2, "Exit"
#define IDC_FilterListView 2303
#define IDC_FilterStatusBar 2304

// Filter editor (Ok and Cancel as in Select Computer).
#define IDC_SourceCheckBox 2401
#define IDC_FromIPMaskEdit 2402
#define IDC_FromSMaskMaskEdit 2403
#define IDC_DestinationCheckBox 2404
#define IDC_ToIPMaskEdit 2405
#define IDC_ToSMaskMaskEdit 2406
#define IDC_TCPRB 2407
#define IDC_UDPRB 2408
#define IDC_ICMPRB 2409
#define IDC_AnyRB 2410
#define IDC_OtherRB 2411
#define IDC_ProtMaskEdit 2412
#define IDC_TCPAndUDPPanel 2413
#define IDC_FromEdit 2414
#define IDC_FromHighEdit 2415
#define IDC_ToEdit 2416
#define IDC_ToHighEdit 2417
#define IDC_NoSYNCheckBox 2418

// Debug window.
#define IDC_DebugMemo 2501

// Statistics window: its value fields are numbered from IDC_FirstStatistic in the order of their
// captions (TStatisticField); "Exit" closes it as Escape does. Its timer is IDT_Timer1.
#define IDC_Memo1 2601
#define IDC_InitFilterBtn 2602
#define IDC_StatisticsExitBtn 2
#define IDC_StatisticsBitBtn1 2603
#define IDC_StatisticsStatusBar 2604
#define IDC_FirstStatistic 2700
#define IDT_Timer1 1

// The window class of the debug window's text field.
#define ZANTOR_LOG_VIEW_CLASS "ZantorLogView"
