// The first wizard page: notice, red caution, picture, agreement; Next opens the device.
#pragma once

#include "link/SerialCom.h"
#include "pages/StaticColor.h"
#include "platform/Afx.h"

inline constexpr UINT IDD_WELCOME_PAGE = 104;
inline constexpr int IDC_NOTICE_TEXT = 1021;
inline constexpr int IDC_WELCOME_PICTURE = 1022;
inline constexpr int IDC_AGREE_CHECK = 1025;
inline constexpr int IDC_CAUTION_TEXT = 1026;
inline constexpr int IDI_VESTREL = 128;
inline constexpr int IDB_WELCOME = 1031;

class CWelcomePage : public CPropertyPage {
public:
    CWelcomePage();
    ~CWelcomePage() override;

    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    BOOL OnSetActive() override;
    LRESULT OnWizardNext() override;
    void OnCommand(int id, UINT code) override;

    CSerialCom m_port;
    CButton m_agreeCheck;
    CStaticColor m_caution;
    CPropertySheet* m_pSheet = nullptr;
};
