// Window objects: C++ objects bound to windows of "WNDBASE_CLASS". The object
// owns its window (deleting the object destroys the window); destroying the
// window only unbinds the object. Messages reach the object through the class's
// routing procedure: WM_PAINT as OnPaint on an off-screen DC, everything else
// as WndProc.
#pragma once

#include <windows.h>

namespace tqm::widgets {

class CWndBase {
 public:
  CWndBase() = default;
  CWndBase(const CWndBase&) = delete;
  CWndBase& operator=(const CWndBase&) = delete;
  virtual ~CWndBase();

  virtual bool Create(HINSTANCE instance, HWND parent, int id, int x, int y, int width,
                      int height);
  virtual BOOL Show(int flag);
  // Paints the whole client area.
  virtual void OnPaint(HDC dc) = 0;
  virtual LRESULT WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  HWND Window() const { return window_; }
  HWND Parent() const { return parent_; }

 protected:
  HWND parent_ = nullptr;
  HWND window_ = nullptr;
  int visible_ = 0;

 private:
  friend LRESULT CALLBACK WndBaseProc(HWND, UINT, WPARAM, LPARAM);
};

class CCtrlBase : public CWndBase {
 public:
  virtual void SetFocused(int value);
  virtual void SetChecked(int value);

  int Checked() const { return checked_; }
  int Focused() const { return focused_; }

 protected:
  // Repaints the whole window, background erased first.
  void Repaint();
  // Posts WM_COMMAND (own id, code) to the parent.
  void Notify(HWND window, WORD code);
  // BM_GETCHECK / BM_SETCHECK: only 0 and 1 are stored; any value repaints.
  bool HandleCheckMessage(UINT message, WPARAM wParam, LRESULT* result);

  int checked_ = 0;
  int focused_ = 0;
};

constexpr int kCaptionUnits = 256;

class CCtrlLinkBtn : public CCtrlBase {
 public:
  virtual bool CreateCtrl(HINSTANCE instance, HWND parent, int id, int x, int y, int width,
                          int height, const wchar_t* caption, UINT format);
  void OnPaint(HDC dc) override;
  LRESULT WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;

 protected:
  wchar_t caption_[kCaptionUnits] = {};
  UINT format_ = 0;
  int width_ = 0;
  int height_ = 0;
  COLORREF text_colour_ = 0xFF0000;
};

class CCtrlImageBtn : public CCtrlBase {
 public:
  virtual bool CreateCtrl(HINSTANCE instance, HWND parent, int id, int x, int y,
                          const wchar_t* normal_name, const wchar_t* pressed_name);
  void OnPaint(HDC dc) override;
  LRESULT WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;

 protected:
  HBITMAP normal_ = nullptr;
  HBITMAP pressed_ = nullptr;
  int width_ = 0;
  int height_ = 0;
};

class CCtrlTextBtn : public CCtrlBase {
 public:
  ~CCtrlTextBtn() override;
  virtual bool CreateCtrl(HINSTANCE instance, HWND parent, int id, int x, int y, int width,
                          int height, const wchar_t* caption, UINT format);
  void OnPaint(HDC dc) override;
  LRESULT WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;

  void SetText(const wchar_t* text);
  void SetCheckedColors(COLORREF text, COLORREF background);
  void SetFocusColors(COLORREF text, COLORREF background);
  void SetNormalColors(COLORREF text, COLORREF background);

 protected:
  wchar_t caption_[kCaptionUnits] = {};
  UINT format_ = 0;
  COLORREF checked_text_ = 0x000000;
  COLORREF checked_background_ = 0xFFFFFF;
  COLORREF normal_text_ = 0xFFFFFF;
  COLORREF normal_background_ = 0x000000;
  COLORREF focus_text_ = 0x000000;
  COLORREF focus_background_ = 0xFFFFFF;
  HFONT font_ = nullptr;
};

}  // namespace tqm::widgets
