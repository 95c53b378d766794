// Property pages and the wizard sheet over the window model, and the button logic that both
// front ends share.
#include "platform/posix/UiModel.h"

#include <algorithm>

using ui::AsNode;
using ui::Change;
using ui::Node;
using ui::NotifyChanged;

namespace {

int g_lastResult = 0;

std::unique_ptr<Node> BuildPage(CPropertyPage& page, Node& sheet) {
    const res::DialogTemplate* dialog = res::FindDialogTemplate(page.TemplateId());
    std::unique_ptr<Node> node;
    if (dialog != nullptr) {
        node = ui::NodeFromTemplate(*dialog);
    } else {
        node = std::make_unique<Node>();
        node->kind = ui::NodeKind::Page;
    }
    node->object = &page;
    node->parent = &sheet;
    node->visible = false;
    return node;
}

// Forgets every binding into the tree (window objects then have no window, as after their
// window was destroyed).
void Unbind(Node& node) {
    for (auto& child : node.children)
        Unbind(*child);
    if (node.object != nullptr && node.object->m_hWnd == &node)
        node.object->m_hWnd = nullptr;
    node.object = nullptr;
}

void Close(CPropertySheet& sheet, int result) {
    Node* n = ui::SheetNode(sheet);
    if (n == nullptr || n->closed)
        return;
    n->closed = true;
    n->result = result;
}

// Creates the page on its first activation (OnInitDialog), then shows it (OnSetActive).
bool ActivatePage(CPropertySheet& sheet, int index) {
    Node* sn = ui::SheetNode(sheet);
    CPropertyPage* page = sheet.GetPage(index);
    if (sn == nullptr || page == nullptr)
        return false;
    if (page->m_hWnd == nullptr) {
        auto node = BuildPage(*page, *sn);
        page->m_hWnd = node.get();
        sn->children.push_back(std::move(node));
        page->OnInitDialog();
    }
    Node* pn = AsNode(page->m_hWnd);
    if (sn->activeIndex >= 0 && sn->activeIndex != index) {
        if (CPropertyPage* previous = sheet.GetPage(sn->activeIndex); previous && previous->m_hWnd)
            AsNode(previous->m_hWnd)->visible = false;
    }
    sn->activeIndex = index;
    pn->visible = true;
    ++pn->activations;
    // A wizard's frame is titled with the caption of the page it shows.
    sn->text = pn->text;
    NotifyChanged(*sn, Change::Page);
    page->OnSetActive();
    return true;
}

} // namespace

CPropertyPage::CPropertyPage(UINT templateId) : m_templateId(templateId) {}

CPropertyPage::~CPropertyPage() = default;

void CPropertyPage::DoDataExchange(CDataExchange* /*pDX*/) {}

BOOL CPropertyPage::OnInitDialog() {
    CDataExchange dx(this);
    DoDataExchange(&dx);
    return TRUE;
}

BOOL CPropertyPage::OnSetActive() {
    // The first activation follows OnInitDialog's exchange; later ones exchange again.
    if (const Node* n = AsNode(m_hWnd); n != nullptr && n->activations > 1) {
        CDataExchange dx(this);
        DoDataExchange(&dx);
    }
    return TRUE;
}

LRESULT CPropertyPage::OnWizardNext() {
    return 0;
}

BOOL CPropertyPage::OnWizardFinish() {
    return TRUE;
}

void CPropertyPage::OnCancel() {}

void CPropertyPage::OnCommand(int /*id*/, UINT /*code*/) {}

void CPropertyPage::CancelToClose() {
    CPropertySheet* sheet = m_sheet;
    if (sheet == nullptr)
        return;
    RunOnUiThread([&] {
        if (Node* n = ui::SheetNode(*sheet); n != nullptr && n->cancelEnabled) {
            n->cancelEnabled = false;
            NotifyChanged(*n, Change::Buttons);
        }
    });
}

CPropertySheet::CPropertySheet() {
    auto* node = new Node;
    node->kind = ui::NodeKind::Sheet;
    node->object = this;
    m_hWnd = node;
}

CPropertySheet::~CPropertySheet() {
    Node* node = AsNode(m_hWnd);
    if (node == nullptr)
        return;
    Unbind(*node);
    delete node;
    m_hWnd = nullptr;
}

void CPropertySheet::AddPage(CPropertyPage* page) {
    if (page == nullptr)
        return;
    page->m_sheet = this;
    m_pages.push_back(page);
}

CPropertyPage* CPropertySheet::GetPage(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= m_pages.size())
        return nullptr;
    return m_pages[static_cast<std::size_t>(index)];
}

int CPropertySheet::GetPageCount() const {
    return static_cast<int>(m_pages.size());
}

int CPropertySheet::GetActiveIndex() const {
    int index = 0;
    RunOnUiThread([&] {
        if (const Node* n = AsNode(m_hWnd))
            index = n->activeIndex >= 0 ? n->activeIndex : n->startIndex;
    });
    return index;
}

void CPropertySheet::SetActivePage(int index) {
    RunOnUiThread([&] {
        Node* n = AsNode(m_hWnd);
        if (n == nullptr || GetPage(index) == nullptr)
            return;
        if (n->activeIndex < 0) {
            n->startIndex = index; // the page DoModal starts on
            return;
        }
        // Selecting the page already shown changes nothing.
        if (index != n->activeIndex)
            ActivatePage(*this, index);
    });
}

void CPropertySheet::SetWizardButtons(DWORD flags) {
    ui::Post([this, flags] {
        if (Node* n = AsNode(m_hWnd)) {
            n->wizardButtons = flags;
            NotifyChanged(*n, Change::Buttons);
        }
    });
}

void CPropertySheet::SetIconFromResource(int iconId) {
    RunOnUiThread([&] {
        if (Node* n = AsNode(m_hWnd))
            n->iconId = iconId;
    });
}

intptr_t CPropertySheet::DoModal() {
    Node* n = AsNode(m_hWnd);
    if (n == nullptr || m_pages.empty())
        return -1;
    std::unique_ptr<ui::FrontEnd> frontEnd = ui::MakeFrontEndForSheet();
    n->closed = false;
    n->result = ui::kIdCancel;
    n->cancelEnabled = true;
    n->wizardButtons = PSWIZB_BACK | PSWIZB_NEXT;
    ui::BeginLoop(*frontEnd, *this);
    if (ActivatePage(*this, std::clamp(n->startIndex, 0, GetPageCount() - 1)))
        frontEnd->Run(*this);
    ui::EndLoop();
    // The page windows go with the sheet's window; the objects stay.
    for (auto& page : n->children)
        Unbind(*page);
    n->children.clear();
    n->activeIndex = -1;
    n->text.clear();
    g_lastResult = n->result;
    return n->result;
}

namespace ui {

std::unique_ptr<Node> NodeFromTemplate(const res::DialogTemplate& dialog) {
    auto node = std::make_unique<Node>();
    node->kind = NodeKind::Page;
    node->dialog = &dialog;
    node->text = dialog.caption;
    node->cx = dialog.cx;
    node->cy = dialog.cy;
    for (const res::ControlTemplate& c : dialog.controls) {
        auto child = std::make_unique<Node>();
        switch (c.kind) {
        case res::ControlKind::Static:
            child->kind = NodeKind::Static;
            break;
        case res::ControlKind::Picture:
            child->kind = NodeKind::Picture;
            child->hasBitmap = c.imageId != 0;
            break;
        case res::ControlKind::CheckBox:
            child->kind = NodeKind::CheckBox;
            break;
        case res::ControlKind::ProgressBar:
            child->kind = NodeKind::ProgressBar;
            break;
        }
        child->id = c.id;
        child->style = c.style;
        child->exStyle = c.exStyle;
        child->x = c.x;
        child->y = c.y;
        child->cx = c.cx;
        child->cy = c.cy;
        child->text = c.text != nullptr ? c.text : L"";
        child->role = c.role;
        child->parent = node.get();
        node->children.push_back(std::move(child));
    }
    return node;
}

int LastSheetResult() {
    return g_lastResult;
}

Node* SheetNode(const CPropertySheet& sheet) {
    return AsNode(sheet.m_hWnd);
}

CPropertyPage* ActivePage(const CPropertySheet& sheet) {
    const Node* n = SheetNode(sheet);
    return n != nullptr && n->activeIndex >= 0 ? sheet.GetPage(n->activeIndex) : nullptr;
}

bool SheetClosed(const CPropertySheet& sheet) {
    const Node* n = SheetNode(sheet);
    return n == nullptr || n->closed;
}

void PressBack(CPropertySheet& sheet) {
    Node* n = SheetNode(sheet);
    if (n == nullptr || n->closed || !ButtonsOf(*n).backEnabled || n->activeIndex <= 0)
        return;
    ActivatePage(sheet, n->activeIndex - 1);
}

void PressNext(CPropertySheet& sheet) {
    Node* n = SheetNode(sheet);
    CPropertyPage* page = ActivePage(sheet);
    if (n == nullptr || page == nullptr || n->closed || !ButtonsOf(*n).nextEnabled)
        return;
    const LRESULT answer = page->OnWizardNext();
    if (answer == -1)
        return;
    int target = n->activeIndex + 1;
    if (answer != 0) {
        // A page may name the template of the page to go to instead.
        target = -1;
        for (int i = 0; i < sheet.GetPageCount(); ++i) {
            if (sheet.GetPage(i)->TemplateId() == static_cast<UINT>(answer))
                target = i;
        }
    }
    if (target >= 0 && target < sheet.GetPageCount())
        ActivatePage(sheet, target);
}

void PressFinish(CPropertySheet& sheet) {
    Node* n = SheetNode(sheet);
    CPropertyPage* page = ActivePage(sheet);
    if (n == nullptr || page == nullptr || n->closed || !ButtonsOf(*n).finishEnabled)
        return;
    if (page->OnWizardFinish())
        Close(sheet, kIdWizFinish);
}

void PressCancel(CPropertySheet& sheet) {
    Node* n = SheetNode(sheet);
    if (n == nullptr || n->closed || !n->cancelEnabled)
        return;
    CancelSheet(sheet);
}

void CancelSheet(CPropertySheet& sheet) {
    Node* n = SheetNode(sheet);
    if (n == nullptr || n->closed)
        return;
    // Every page that has been created hears the cancel, in the sheet's order.
    for (int i = 0; i < sheet.GetPageCount(); ++i) {
        CPropertyPage* page = sheet.GetPage(i);
        if (page->m_hWnd != nullptr)
            page->OnCancel();
    }
    Close(sheet, kIdCancel);
}

void ClickCheckBox(Node& checkBox) {
    if (checkBox.kind != NodeKind::CheckBox || !checkBox.enabled || !checkBox.visible)
        return;
    checkBox.check = checkBox.check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
    NotifyChanged(checkBox, Change::Check);
    if (checkBox.parent != nullptr) {
        if (auto* page = dynamic_cast<CPropertyPage*>(checkBox.parent->object))
            page->OnCommand(checkBox.id, BN_CLICKED);
    }
}

} // namespace ui
