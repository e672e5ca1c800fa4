// The main dialog: one label and one mode list per port of every controller.
#pragma once

#include <afxwin.h>

#include "ControllerLibrary.h"
#include "PortDiscovery.h"
#include "resource.h"

#define MAX_CONTROLLERS 10
#define MAX_COUNTED_CONTROLLERS 4
#define MAX_PORTS 256

class CVESKARDINAppDlg : public CDialog {
public:
    explicit CVESKARDINAppDlg(CWnd *pParent = nullptr);
    ~CVESKARDINAppDlg() override;

    enum { IDD = IDD_VESKARDINAPP_DIALOG };

protected:
    void DoDataExchange(CDataExchange *pDX) override;
    BOOL OnInitDialog() override;

    afx_msg void OnSysCommand(UINT nID, LPARAM lParam);
    afx_msg void OnPaint();
    afx_msg HCURSOR OnQueryDragIcon();
    afx_msg void OnDestroy();
    afx_msg void OnButtonRead();
    afx_msg void OnButtonWrite();
    DECLARE_MESSAGE_MAP()

private:
    // The controller and the port within it of each port index, walking the
    // per-controller counts; FALSE past the last port.
    BOOL PortAddress(int portIndex, int &controller, int &port) const;
    void CountPorts();
    void CreatePortControls();

    HICON m_hIcon;
    CControllerLibrary m_Library;

    int m_ControllerHandle[MAX_CONTROLLERS];
    int m_ControllerCount;
    int m_PortsPerController[MAX_COUNTED_CONTROLLERS];
    int m_TotalPorts;
    int m_ComNumber[MAX_PORT_TABLE];

    CStatic *m_PortLabel[MAX_PORTS];
    CComboBox *m_PortList[MAX_PORTS];
};
