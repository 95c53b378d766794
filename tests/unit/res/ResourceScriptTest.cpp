// Vestrel.rc is the one description of the wizard's dialogs. These tests read it as the
// resource compiler would and check that the other places naming the same things agree with it:
// the ids in ResourceIds.h and in the pages' headers, the title the single-copy test looks for,
// and the dialog table the terminal wizard draws from.
#include "pages/DownloadPage.h"
#include "pages/WelcomePage.h"
#include "res/DialogTemplates.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct RcControl {
    std::string kind; // LTEXT, CTEXT, CONTROL...
    std::wstring text;
    long id = 0;
    std::string windowClass; // for CONTROL
    long x = 0, y = 0, cx = 0, cy = 0;
    unsigned long style = 0; // as the resource compiler makes it, WS_CHILD | WS_VISIBLE included
    unsigned long exStyle = 0;
};

struct RcDialog {
    long id = 0;
    long cx = 0, cy = 0;
    std::wstring caption;
    std::wstring fontFace;
    long fontPoints = 0;
    std::vector<RcControl> controls;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

// The #define lines of a header: name -> value.
std::map<std::string, long> ReadDefines(const std::string& text) {
    std::map<std::string, long> defines;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string directive, name;
        long value = 0;
        if (words >> directive >> name >> value && directive == "#define") {
            defines[name] = value;
        }
    }
    return defines;
}

struct Token {
    enum Kind { Word, String, Number, Comma, Pipe } kind;
    std::string text; // words, and strings still escaped as in the script
    long number = 0;
};

// Tokens of the resource script, preprocessor lines and comments left out.
std::vector<Token> Tokenize(const std::string& script) {
    std::vector<Token> tokens;
    std::size_t i = 0;
    bool lineStart = true;
    while (i < script.size()) {
        const char c = script[i];
        if (c == '\n') {
            lineStart = true;
            ++i;
            continue;
        }
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
            continue;
        }
        if ((lineStart && c == '#') || (c == '/' && i + 1 < script.size() && script[i + 1] == '/')) {
            while (i < script.size() && script[i] != '\n') {
                ++i;
            }
            continue;
        }
        lineStart = false;
        if (c == '"') {
            std::string text;
            ++i;
            while (i < script.size() && script[i] != '"') {
                if (script[i] == '\\' && i + 1 < script.size()) {
                    text += script[i];
                    ++i;
                }
                text += script[i];
                ++i;
            }
            ++i;
            tokens.push_back({Token::String, text});
        } else if (c == ',') {
            tokens.push_back({Token::Comma, ","});
            ++i;
        } else if (c == '|') {
            tokens.push_back({Token::Pipe, "|"});
            ++i;
        } else if (std::isdigit(static_cast<unsigned char>(c)) || c == '-') {
            std::size_t used = 0;
            const long value = std::stol(script.substr(i), &used, 0);
            i += used;
            while (i < script.size() && std::isalpha(static_cast<unsigned char>(script[i]))) {
                ++i; // 0x0L
            }
            tokens.push_back({Token::Number, "", value});
        } else {
            std::string word;
            while (i < script.size() &&
                   (std::isalnum(static_cast<unsigned char>(script[i])) || script[i] == '_')) {
                word += script[i++];
            }
            if (word.empty()) {
                word = std::string(1, script[i++]);
            }
            tokens.push_back({Token::Word, word});
        }
    }
    return tokens;
}

// A resource-script string as the program sees it: \n is a line break, \" a quote.
std::wstring Unescape(const std::string& text) {
    std::wstring out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            const char next = text[++i];
            out += next == 'n' ? L'\n' : next == 't' ? L'\t' : static_cast<wchar_t>(next);
        } else if (text[i] == '"' && i + 1 < text.size() && text[i + 1] == '"') {
            out += L'"';
            ++i;
        } else {
            out += static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
        }
    }
    return out;
}

class RcReader {
public:
    RcReader(std::vector<Token> tokens, std::map<std::string, long> defines)
        : m_tokens(std::move(tokens)), m_defines(std::move(defines)) {}

    std::map<long, RcDialog> Dialogs() {
        std::map<long, RcDialog> dialogs;
        for (m_at = 0; m_at + 1 < m_tokens.size(); ++m_at) {
            if (m_tokens[m_at + 1].kind == Token::Word && m_tokens[m_at + 1].text == "DIALOGEX") {
                RcDialog dialog = ReadDialog();
                dialogs[dialog.id] = dialog;
            }
        }
        return dialogs;
    }

private:
    const Token& Next() { return m_tokens.at(m_at++); }
    bool AtComma() const { return m_at < m_tokens.size() && m_tokens[m_at].kind == Token::Comma; }
    void SkipComma() {
        if (AtComma()) {
            ++m_at;
        }
    }

    // The Win32 values of the style names the script uses.
    static std::optional<unsigned long> StyleName(const std::string& name) {
        static const std::map<std::string, unsigned long> names = {
            {"WS_CHILD", 0x40000000},
            {"WS_VISIBLE", 0x10000000},
            {"WS_DISABLED", 0x08000000},
            {"WS_CAPTION", 0x00C00000},
            {"WS_BORDER", 0x00800000},
            {"WS_GROUP", 0x00020000},
            {"WS_TABSTOP", 0x00010000},
            {"DS_SETFONT", 0x40},
            {"SS_LEFT", 0x0},
            {"SS_CENTER", 0x1},
            {"SS_BITMAP", 0xE},
            {"SS_CENTERIMAGE", 0x200},
            {"SS_RIGHTJUST", 0x400},
            {"SS_REALSIZEIMAGE", 0x800},
            {"SS_SUNKEN", 0x1000},
            {"BS_AUTOCHECKBOX", 0x3},
            {"PBS_SMOOTH", 0x1},
            {"WS_EX_TRANSPARENT", 0x20},
            {"WS_EX_STATICEDGE", 0x00020000},
        };
        auto it = names.find(name);
        return it != names.end() ? std::optional<unsigned long>(it->second) : std::nullopt;
    }

    long Value(const Token& token) const {
        if (token.kind == Token::Number) {
            return token.number;
        }
        if (auto it = m_defines.find(token.text); it != m_defines.end()) {
            return it->second;
        }
        if (auto style = StyleName(token.text)) {
            return static_cast<long>(*style);
        }
        ADD_FAILURE() << "unknown name in the resource script: " << token.text;
        return 0;
    }

    // A value or an OR of values, and the comma after it.
    long Number() {
        long value = Value(Next());
        while (m_at < m_tokens.size() && m_tokens[m_at].kind == Token::Pipe) {
            ++m_at;
            value |= Value(Next());
        }
        SkipComma();
        return value;
    }

    bool AtStatementEnd() const {
        if (m_at >= m_tokens.size()) {
            return true;
        }
        const Token& token = m_tokens[m_at];
        return token.kind == Token::Word && !StyleName(token.text) && m_defines.count(token.text) == 0;
    }

    RcDialog ReadDialog() {
        RcDialog dialog;
        dialog.id = Value(Next());
        ++m_at; // DIALOGEX
        Number();
        Number();
        dialog.cx = Number();
        dialog.cy = Number();
        while (m_at < m_tokens.size() && m_tokens[m_at].text != "BEGIN") {
            const Token& word = Next();
            if (word.text == "CAPTION") {
                dialog.caption = Unescape(Next().text);
            } else if (word.text == "FONT") {
                dialog.fontPoints = Number();
                dialog.fontFace = Unescape(Next().text);
            } else if (word.text == "STYLE") {
                Number();
            }
        }
        ++m_at; // BEGIN
        while (m_at < m_tokens.size() && m_tokens[m_at].text != "END") {
            dialog.controls.push_back(ReadControl());
        }
        return dialog;
    }

    RcControl ReadControl() {
        // The styles the resource compiler gives each statement before the script's own.
        constexpr unsigned long kChildVisible = 0x40000000 | 0x10000000;
        constexpr unsigned long kGroup = 0x00020000;
        RcControl control;
        control.kind = Next().text;
        const Token& text = Next();
        control.text = text.kind == Token::String ? Unescape(text.text) : std::to_wstring(Value(text));
        SkipComma();
        control.id = Number();
        const bool isText = control.kind == "LTEXT" || control.kind == "CTEXT";
        if (control.kind == "CONTROL") {
            control.windowClass = Next().text;
            SkipComma();
            control.style = kChildVisible | static_cast<unsigned long>(Number());
        } else if (isText) {
            control.style = kChildVisible | kGroup | (control.kind == "CTEXT" ? 0x1UL : 0x0UL);
        }
        control.x = Number();
        control.y = Number();
        control.cx = Number();
        control.cy = Number();
        if (isText && !AtStatementEnd()) {
            control.style |= static_cast<unsigned long>(Number());
        }
        if (!AtStatementEnd()) {
            control.exStyle = static_cast<unsigned long>(Number());
        }
        return control;
    }

    std::vector<Token> m_tokens;
    std::map<std::string, long> m_defines;
    std::size_t m_at = 0;
};

class ResourceScript : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_defines = new std::map<std::string, long>(ReadDefines(ReadFile(VESTREL_RES_DIR "/ResourceIds.h")));
        RcReader reader(Tokenize(ReadFile(VESTREL_RES_DIR "/Vestrel.rc")), *s_defines);
        s_dialogs = new std::map<long, RcDialog>(reader.Dialogs());
    }
    static void TearDownTestSuite() {
        delete s_dialogs;
        delete s_defines;
    }

    static const RcDialog& Dialog(long id) { return s_dialogs->at(id); }
    static std::optional<RcControl> Control(long dialog, long id) {
        for (const RcControl& control : Dialog(dialog).controls) {
            if (control.id == id) {
                return control;
            }
        }
        return std::nullopt;
    }

    static std::map<std::string, long>* s_defines;
    static std::map<long, RcDialog>* s_dialogs;
};

std::map<std::string, long>* ResourceScript::s_defines = nullptr;
std::map<long, RcDialog>* ResourceScript::s_dialogs = nullptr;

TEST_F(ResourceScript, IdsAgreeWithThePages) {
    // The resource compiler reads ResourceIds.h; the pages name the same ids in C++.
    const std::vector<std::pair<std::string, long>> ids = {
        {"IDD_WELCOME_PAGE", IDD_WELCOME_PAGE}, {"IDD_DOWNLOAD_PAGE", IDD_DOWNLOAD_PAGE},
        {"IDI_VESTREL", IDI_VESTREL},           {"IDB_WELCOME", IDB_WELCOME},
        {"IDC_NOTICE_TEXT", IDC_NOTICE_TEXT},   {"IDC_WELCOME_PICTURE", IDC_WELCOME_PICTURE},
        {"IDC_AGREE_CHECK", IDC_AGREE_CHECK},   {"IDC_CAUTION_TEXT", IDC_CAUTION_TEXT},
        {"IDC_OVERALL_BAR", IDC_OVERALL_BAR},   {"IDC_PERCENT_LABEL", IDC_PERCENT_LABEL},
        {"IDC_PHASE_BAR", IDC_PHASE_BAR},       {"IDC_STATUS_LINE", IDC_STATUS_LINE},
    };
    for (const auto& [name, value] : ids) {
        ASSERT_EQ(s_defines->count(name), 1u) << name << " missing from ResourceIds.h";
        EXPECT_EQ(s_defines->at(name), value) << name;
    }
}

TEST_F(ResourceScript, EveryControlThePagesBindExistsWithTheRightKind) {
    struct Binding {
        long dialog;
        long id;
        std::string kind;        // statement
        std::string windowClass; // for CONTROL statements
    };
    const std::vector<Binding> bindings = {
        {IDD_WELCOME_PAGE, IDC_NOTICE_TEXT, "LTEXT", ""},
        {IDD_WELCOME_PAGE, IDC_WELCOME_PICTURE, "CONTROL", "Static"},
        {IDD_WELCOME_PAGE, IDC_CAUTION_TEXT, "LTEXT", ""},
        {IDD_WELCOME_PAGE, IDC_AGREE_CHECK, "CONTROL", "Button"},
        {IDD_DOWNLOAD_PAGE, IDC_PHASE_BAR, "CONTROL", "msctls_progress32"},
        {IDD_DOWNLOAD_PAGE, IDC_OVERALL_BAR, "CONTROL", "msctls_progress32"},
        {IDD_DOWNLOAD_PAGE, IDC_PERCENT_LABEL, "CTEXT", ""},
        {IDD_DOWNLOAD_PAGE, IDC_STATUS_LINE, "LTEXT", ""},
    };
    for (const Binding& b : bindings) {
        auto control = Control(b.dialog, b.id);
        ASSERT_TRUE(control.has_value()) << "control " << b.id << " of dialog " << b.dialog;
        EXPECT_EQ(control->kind, b.kind) << b.id;
        EXPECT_EQ(control->windowClass, b.windowClass) << b.id;
    }
    // The picture shows the bitmap resource the welcome page falls back to.
    EXPECT_EQ(Control(IDD_WELCOME_PAGE, IDC_WELCOME_PICTURE)->text, std::to_wstring(IDB_WELCOME));
}

TEST_F(ResourceScript, WelcomeCaptionIsTheTitleTheSingleCopyTestLooksFor) {
    // A running copy is recognised by its welcome page's title: the two must not drift apart.
    const std::string app = ReadFile(VESTREL_SRC_DIR "/app/VestrelApp.cpp");
    EXPECT_NE(app.find("BringWindowWithTitleToFront(L\"" + std::string("Korvane") + "\")"),
              std::string::npos);
    EXPECT_EQ(Dialog(IDD_WELCOME_PAGE).caption, L"Korvane");
    EXPECT_EQ(Dialog(IDD_DOWNLOAD_PAGE).caption, L"Download Image");
}

TEST_F(ResourceScript, StaticTextsDecodeAsThePagesShowThem) {
    // Escapes in the script become the characters the user sees.
    EXPECT_EQ(Control(IDD_DOWNLOAD_PAGE, -1)->text,
              L"Please wait...\n\nYour handheld is being upgraded.\n\nDO NOT REMOVE THE USB CABLE.");
    EXPECT_EQ(Control(IDD_DOWNLOAD_PAGE, IDC_PERCENT_LABEL)->text, L"0%");
    EXPECT_EQ(Control(IDD_WELCOME_PAGE, IDC_AGREE_CHECK)->text, L"I agree with the statement above");
}

TEST_F(ResourceScript, TerminalWizardDrawsTheSameDialogs) {
    // The posix wizard's table is a second copy of the two dialogs; every field it holds must be
    // what the resource compiler makes of the script.
    constexpr unsigned long kChildVisible = 0x40000000 | 0x10000000;
    constexpr unsigned long kGroup = 0x00020000;
    ASSERT_EQ(res::AllDialogTemplates().size(), s_dialogs->size());
    for (const res::DialogTemplate& table : res::AllDialogTemplates()) {
        SCOPED_TRACE("dialog " + std::to_string(table.id));
        ASSERT_EQ(s_dialogs->count(table.id), 1u);
        const RcDialog& rc = Dialog(table.id);
        EXPECT_EQ(table.caption, rc.caption);
        EXPECT_EQ(table.fontName, rc.fontFace);
        EXPECT_EQ(table.pointSize, rc.fontPoints);
        EXPECT_EQ(table.cx, rc.cx);
        EXPECT_EQ(table.cy, rc.cy);
        ASSERT_EQ(table.controls.size(), rc.controls.size());
        for (std::size_t i = 0; i < rc.controls.size(); ++i) {
            const RcControl& want = rc.controls[i];
            const res::ControlTemplate& got = table.controls[i];
            SCOPED_TRACE("control " + std::to_string(want.id));
            EXPECT_EQ(got.id, want.id);
            EXPECT_EQ(got.x, want.x);
            EXPECT_EQ(got.y, want.y);
            EXPECT_EQ(got.cx, want.cx);
            EXPECT_EQ(got.cy, want.cy);
            // The table leaves out the bits every control has (and LTEXT's implied group).
            EXPECT_EQ(got.style, want.style & ~(kChildVisible | kGroup));
            EXPECT_EQ(got.exStyle, want.exStyle);
            if (want.windowClass == "msctls_progress32") {
                EXPECT_EQ(got.kind, res::ControlKind::ProgressBar);
            } else if (want.windowClass == "Button") {
                EXPECT_EQ(got.kind, res::ControlKind::CheckBox);
                EXPECT_EQ(std::wstring(got.text), want.text);
            } else if ((want.style & 0x1F) == 0xE) { // SS_BITMAP
                EXPECT_EQ(got.kind, res::ControlKind::Picture);
                EXPECT_EQ(std::to_wstring(got.imageId), want.text);
            } else {
                EXPECT_EQ(got.kind, res::ControlKind::Static);
                EXPECT_EQ(std::wstring(got.text), want.text);
            }
        }
    }
}

} // namespace
