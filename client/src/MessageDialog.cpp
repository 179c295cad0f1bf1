#include "MessageDialog.h"

#include "qelplat/tickcount.h"

namespace {

const UINT_PTR kAutoCloseTimer = 1;
// The prompt checks its age this often; the auto-close comes at most this late.
const UINT kAutoCloseTick = 500;
const DWORD kFadeMs = 800;
const int kMaxContentLines = 5;

}  // namespace

CMessageDialog::CMessageDialog() : skinPath_(L"Skin\\MessageBoxDialog.xml") {
  // Construction values; the window's own values are set once it exists.
  shadow_.SetDarkness(150);
  shadow_.SetSharpness(5);
  shadow_.SetSize(0);
  shadow_.SetPosition(5, 5);
  shadow_.SetColor(RGB(0, 0, 0));
}

CMessageDialog::~CMessageDialog() {
  // Normally the window is gone when the modal loop ends. If the loop was left early (a quit request),
  // destroy it while this object's members are still alive for its last messages.
  if (m_hWnd && IsWindow(m_hWnd)) DestroyWindow(m_hWnd);
}

LPCTSTR CMessageDialog::GetWindowClassName() const { return L"UIMessageDialog"; }
UINT CMessageDialog::GetClassStyle() const { return CS_DBLCLKS; }
void CMessageDialog::OnFinalMessage(HWND) {}

unsigned CMessageDialog::ShowDialog(int mode, LPCTSTR title) {
  mode_ = mode;
  closingByTimer_ = false;
  Create(nullptr, L"", WS_VISIBLE | WS_OVERLAPPEDWINDOW, WS_EX_STATICEDGE | WS_EX_TOOLWINDOW, CW_USEDEFAULT,
         CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr);
  if (!m_hWnd) return ShowModal();  // no display: nothing to show
  if (mode == 0) {
    if (closeButton_) closeButton_->SetVisible(false);
  } else {
    shownAt_ = GetTickCount();
  }
  FillTexts(title);
  PlaceBottomRight();
  return ShowModal();
}

void CMessageDialog::SetControlText(LPCTSTR name, LPCTSTR text) {
  if (UiLib::CControlUI* control = paintManager_.FindControl(name)) control->SetText(text);
}

void CMessageDialog::FillTexts(LPCTSTR title) {
  SetControlText(L"lbTitle", title);
  if (!paintManager_.FindControl(L"layoutContent")) return;
  SetControlText(L"textProductName", productName_);
  UiLib::CDuiString version;
  version.Format(L"%s->%s", oldVersion_.GetData(), newVersion_.GetData());
  SetControlText(L"textProductVersion", version);
  SetControlText(L"textUpdateTime", updateTime_);
  for (int i = 0; i < kMaxContentLines && i < static_cast<int>(lines_.size()); ++i) {
    UiLib::CDuiString name;
    name.Format(L"textUpdateContent%d", i + 1);
    SetControlText(name, lines_[static_cast<size_t>(i)]);
  }
}

void CMessageDialog::PlaceBottomRight() {
  RECT window{};
  RECT work{};
  if (!GetWindowRect(m_hWnd, &window) || !SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) return;
  LONG width = window.right - window.left;
  LONG height = window.bottom - window.top;
  SetWindowPos(m_hWnd, nullptr, work.right - width, work.bottom - height, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

LRESULT CMessageDialog::OnCreate() {
  LONG style = GetWindowLongW(m_hWnd, GWL_STYLE);
  SetWindowLongW(m_hWnd, GWL_STYLE, static_cast<LONG>(static_cast<DWORD>(style) | WS_CLIPSIBLINGS | WS_CLIPCHILDREN));
  paintManager_.Init(m_hWnd);
  UiLib::CDialogBuilder builder;
  UiLib::CControlUI* root = builder.Create(skinPath_, nullptr, nullptr, &paintManager_, nullptr);
  paintManager_.AttachDialog(root);
  paintManager_.AddNotifier(this);
  okButton_ = paintManager_.FindControl(L"okbtn");
  closeButton_ = paintManager_.FindControl(L"closebtn");
  CShadowWnd::Initialize(UiLib::CPaintManagerUI::GetInstance());
  shadow_.Create(m_hWnd);
  shadow_.SetSize(4);
  shadow_.SetPosition(1, 1);
  // The prompt's own clock for closing itself; nothing else would send it timer messages.
  SetTimer(m_hWnd, kAutoCloseTimer, kAutoCloseTick, nullptr);
  return 0;
}

void CMessageDialog::Notify(UiLib::TNotifyUI& msg) {
  if (msg.sType != L"click" || !msg.pSender) return;
  UiLib::CDuiString name = msg.pSender->GetName();
  if (name == L"closebtn" || name == L"cancelbtn") {
    Close(2);
  } else if (name == L"okbtn") {
    Close(1);
  }
}

LRESULT CMessageDialog::OnNcHitTest(LPARAM lParam) {
  POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  ScreenToClient(m_hWnd, &pt);
  RECT client{};
  GetClientRect(m_hWnd, &client);
  const RECT& caption = paintManager_.GetCaptionRect();
  bool inBand = pt.x >= client.left + caption.left && pt.x < client.right - caption.right && pt.y >= caption.top &&
                pt.y < caption.bottom;
  if (!inBand) return HTCLIENT;
  UiLib::CControlUI* control = paintManager_.FindControl(pt);
  if (!control) return HTCLIENT;
  UiLib::CDuiString cls = control->GetClass();
  if (cls == L"ButtonUI" || cls == L"OptionUI" || cls == L"TextUI") return HTCLIENT;
  return HTCAPTION;
}

void CMessageDialog::OnTimer() {
  // A forced prompt waits for the user however long it takes; only an optional one closes itself.
  if (mode_ != 1 || closingByTimer_) return;
  if (GetTickCount() - shownAt_ <= autoCloseMs_) return;
  closingByTimer_ = true;
  KillTimer(m_hWnd, kAutoCloseTimer);
  AnimateWindow(m_hWnd, kFadeMs, AW_HIDE | AW_BLEND);
  Close(2);
}

LRESULT CMessageDialog::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  switch (msg) {
    case WM_CREATE:
      return OnCreate();
    case WM_CLOSE:
      Close(2);
      break;
    case WM_DESTROY:
      KillTimer(m_hWnd, kAutoCloseTimer);
      break;
    case WM_NCHITTEST:
      return OnNcHitTest(lParam);
    case WM_NCACTIVATE:
      if (IsIconic(m_hWnd)) break;
      return wParam == 0 ? TRUE : FALSE;
    case WM_SYSCOMMAND:
      if (wParam == SC_CLOSE) {
        SendMessage(WM_CLOSE, 0, 0);
        return 0;
      }
      return CWindowWnd::HandleMessage(msg, wParam, lParam);
    case WM_TIMER:
      OnTimer();
      return 0;
    case WM_NCCALCSIZE:
    case WM_NCPAINT:
      return 0;
    default:
      break;
  }
  if (paintManager_.MessageHandler(msg, wParam, lParam, result)) return result;
  return CWindowWnd::HandleMessage(msg, wParam, lParam);
}
