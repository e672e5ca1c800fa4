#include "VESKARDINAppDlg.h"

#include <string.h>

namespace {

const char *const kModeNames[] = {"RS485", "RS232", "RS422"};

} // namespace

//////////////////////////////////////////////////////////////////////////////
// The about box

class CAboutDlg : public CDialog {
public:
    CAboutDlg() : CDialog(IDD) {}
    enum { IDD = IDD_ABOUTBOX };

protected:
    void DoDataExchange(CDataExchange *pDX) override { CDialog::DoDataExchange(pDX); }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CAboutDlg, CDialog)
END_MESSAGE_MAP()

//////////////////////////////////////////////////////////////////////////////
// The main dialog

CVESKARDINAppDlg::CVESKARDINAppDlg(CWnd *pParent)
    : CDialog(CVESKARDINAppDlg::IDD, pParent), m_ControllerCount(0), m_TotalPorts(0)
{
    m_hIcon = AfxGetApp() != nullptr ? AfxGetApp()->LoadIcon(IDR_MAINFRAME)
                                     : reinterpret_cast<HICON>(const_cast<AFX_ICONRES *>(AfxFindIcon(IDR_MAINFRAME)));
    memset(m_ControllerHandle, 0xFF, sizeof(m_ControllerHandle));
    memset(m_PortsPerController, 0, sizeof(m_PortsPerController));
    for (int i = 0; i < MAX_PORT_TABLE; ++i)
        m_ComNumber[i] = -1;
    for (int i = 0; i < MAX_PORTS; ++i) {
        m_PortLabel[i] = nullptr;
        m_PortList[i] = nullptr;
    }
}

CVESKARDINAppDlg::~CVESKARDINAppDlg()
{
    for (int i = 0; i < MAX_PORTS; ++i) {
        delete m_PortLabel[i];
        delete m_PortList[i];
    }
    m_Library.Unload();
}

void CVESKARDINAppDlg::DoDataExchange(CDataExchange *pDX)
{
    CDialog::DoDataExchange(pDX);
}

BEGIN_MESSAGE_MAP(CVESKARDINAppDlg, CDialog)
    ON_WM_SYSCOMMAND()
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_WM_DESTROY()
    ON_BN_CLICKED(IDC_BUTTON_READ, OnButtonRead)
    ON_BN_CLICKED(IDC_BUTTON_WRITE, OnButtonWrite)
END_MESSAGE_MAP()

BOOL CVESKARDINAppDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    // The about item must be a system command: the low four bits are the
    // system's own.
    ASSERT((IDM_ABOUTBOX & 0xFFF0) == IDM_ABOUTBOX);
    CMenu *pSysMenu = GetSystemMenu(FALSE);
    if (pSysMenu != nullptr) {
        CString strAboutMenu;
        strAboutMenu.LoadString(IDS_ABOUTBOX);
        if (!strAboutMenu.IsEmpty()) {
            pSysMenu->AppendMenu(MF_SEPARATOR);
            pSysMenu->AppendMenu(MF_STRING, IDM_ABOUTBOX, strAboutMenu);
        }
    }

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    m_Library.Load();
    memset(m_ControllerHandle, 0xFF, sizeof(m_ControllerHandle));

    m_ControllerCount = 0;
    if (m_Library.GnLoadDevice != nullptr)
        m_Library.GnLoadDevice(&m_ControllerCount, m_ControllerHandle);
    if (m_ControllerCount < 0)
        m_ControllerCount = 0;
    if (m_ControllerCount > MAX_CONTROLLERS) {
        TRACE("%d controllers reported; the handle table holds %d, the rest are ignored\n", m_ControllerCount,
              MAX_CONTROLLERS);
        m_ControllerCount = MAX_CONTROLLERS;
    }
    if (m_ControllerCount == 0)
        AfxMessageBox("Can't find any KV50x UART Controllers", MB_OK);

    CountPorts();

    DiscoverComPorts(m_ComNumber);
    CreatePortControls();

    OnButtonRead();
    return TRUE;
}

void CVESKARDINAppDlg::CountPorts()
{
    m_TotalPorts = 0;
    memset(m_PortsPerController, 0, sizeof(m_PortsPerController));
    if (m_ControllerCount > MAX_COUNTED_CONTROLLERS)
        TRACE("%d controllers loaded; ports are counted for the first %d only\n", m_ControllerCount,
              MAX_COUNTED_CONTROLLERS);
    for (int j = 0; j < m_ControllerCount && j < MAX_COUNTED_CONTROLLERS; ++j) {
        int value = 0, ports = 0;
        if (m_Library.GnProductId_Get != nullptr)
            m_Library.GnProductId_Get(m_ControllerHandle[j], &value, &ports);
        if (ports < 0)
            ports = 0;
        if (ports > MAX_PORTS - m_TotalPorts) {
            TRACE("Controller %d reports %d ports; %d fit in the port table\n", j, ports, MAX_PORTS - m_TotalPorts);
            ports = MAX_PORTS - m_TotalPorts;
        }
        m_PortsPerController[j] = ports;
        m_TotalPorts += ports;
    }
}

BOOL CVESKARDINAppDlg::PortAddress(int portIndex, int &controller, int &port) const
{
    int counted = m_ControllerCount < MAX_COUNTED_CONTROLLERS ? m_ControllerCount : MAX_COUNTED_CONTROLLERS;
    int j = 0, k = 0;
    for (int i = 0;; ++i) {
        // A controller without ports is stepped over, not given a port.
        while (j < counted && k == m_PortsPerController[j]) {
            k = 0;
            ++j;
        }
        if (j >= counted)
            return FALSE;
        if (i == portIndex) {
            controller = j;
            port = k;
            return TRUE;
        }
        ++k;
    }
}

void CVESKARDINAppDlg::CreatePortControls()
{
    int y = 34, c = 0, h = 60;
    for (int i = 0; i < m_TotalPorts; ++i) {
        if (i % 4 == 0) {
            if (i > 0) {
                c = 0;
                y += 30;
            }
            MoveWindow(500, 300, 787, h + 85);
            if (CWnd *group = GetDlgItem(IDC_PORT_STATUS))
                group->MoveWindow(10, 10, 760, h);
            if (CWnd *notice = GetDlgItem(IDC_STATIC))
                notice->MoveWindow(10, h + 28, 400, 20);
            if (CWnd *read = GetDlgItem(IDC_BUTTON_READ))
                read->MoveWindow(250, h + 20, 70, 25);
            if (CWnd *write = GetDlgItem(IDC_BUTTON_WRITE))
                write->MoveWindow(320, h + 20, 70, 25);
            h += 30;
        }

        CString label;
        label.Format("%d. COM%d", i, m_ComNumber[i]);
        m_PortLabel[i] = new CStatic;
        m_PortLabel[i]->Create(label, WS_CHILD | WS_VISIBLE, CRect(50 + 180 * c, y, 130 + 180 * c, y + 32), this,
                               IDC_PORT_LABEL_BASE + i);

        m_PortList[i] = new CComboBox;
        m_PortList[i]->Create(WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST,
                              CRect(130 + 180 * c, y - 4, 210 + 180 * c, y + 96), this, IDC_PORT_LIST_BASE + i);
        for (const char *name : kModeNames)
            m_PortList[i]->AddString(name);

        ++c;
        TRACE("\nPORT = %d, %s", i, "RS232MODE");
        m_PortList[i]->SetCurSel(1);
    }
}

void CVESKARDINAppDlg::OnButtonRead()
{
    if (m_Library.GnPortMode_Get == nullptr)
        return;
    for (int i = 0; i < m_TotalPorts; ++i) {
        int j, k;
        if (!PortAddress(i, j, k))
            break;
        // A failed query leaves -1: the list then shows no selection.
        int mode = -1;
        m_Library.GnPortMode_Get(m_ControllerHandle[j], k, &mode);
        m_PortList[i]->SetCurSel(mode);
    }
}

void CVESKARDINAppDlg::OnButtonWrite()
{
    // Every loaded controller must have a handle; with none loaded there is
    // nothing to write to.
    BOOL loaded = m_ControllerCount > 0;
    for (int j = 0; j < m_ControllerCount; ++j)
        if (m_ControllerHandle[j] == -1)
            loaded = FALSE;
    if (!loaded) {
        AfxMessageBox("Device wasn't load", MB_OK);
        return;
    }
    if (m_Library.GnPortMode_Set == nullptr)
        return;
    for (int i = 0; i < m_TotalPorts; ++i) {
        int j, k;
        if (!PortAddress(i, j, k))
            break;
        m_Library.GnPortMode_Set(m_ControllerHandle[j], k, m_PortList[i]->GetCurSel());
    }
}

void CVESKARDINAppDlg::OnSysCommand(UINT nID, LPARAM lParam)
{
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg dlgAbout;
        dlgAbout.DoModal();
    } else {
        CDialog::OnSysCommand(nID, lParam);
    }
}

void CVESKARDINAppDlg::OnPaint()
{
    if (IsIconic()) {
        CPaintDC dc(this);
        SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);

        int cxIcon = GetSystemMetrics(SM_CXICON);
        int cyIcon = GetSystemMetrics(SM_CYICON);
        CRect rect;
        GetClientRect(&rect);
        int x = (rect.Width() - cxIcon + 1) / 2;
        int y = (rect.Height() - cyIcon + 1) / 2;
        dc.DrawIcon(x, y, m_hIcon);
    } else {
        CDialog::OnPaint();
    }
}

HCURSOR CVESKARDINAppDlg::OnQueryDragIcon()
{
    return reinterpret_cast<HCURSOR>(m_hIcon);
}

void CVESKARDINAppDlg::OnDestroy()
{
    CDialog::OnDestroy();
    if (m_Library.GnUnloadDevice != nullptr)
        m_Library.GnUnloadDevice();
    m_Library.Unload();
}
