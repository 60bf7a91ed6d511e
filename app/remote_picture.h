#pragma once

// The remote picture on the left of the main dialog and its key highlight
//. The dialog owns the state and the widget; this file owns the
// drawing, so it can be tested on a QImage without a dialog.
//
// Use from CMainDlg:
//   constructor:  InitRemoteResources(); m_bmpRemote = LoadRemoteBitmap(kBitmapPressed);
//   paintEvent:   QPainter p(this);
//                 PaintRemoteArea(p, rect(), m_highlight.Current(),
//                                 LoadRemoteBitmap(kBitmapNormal), m_bmpRemote, palette());
//   HighlightKey(k):   if (m_highlight.Set(k)) <hand a repaint to the window thread>;
//   ClearHighlight():  m_highlight.Clear(); <hand a repaint to the window thread>;

#include <atomic>

#include <QIcon>
#include <QPixmap>

#include "app/key_rects.h"
#include "receiver/types.h"

class QPainter;
class QPalette;
class QRect;
class QImage;

// Resource ids of the bitmaps and the icon, and their Qt resource paths.
inline constexpr int kBitmapNormal = 132;   // every key normal
inline constexpr int kBitmapPressed = 133;  // every key pressed (tinted reddish)
inline constexpr int kIconProgram = 128;
inline constexpr char kBitmapNormalPath[] = ":/bitmaps/132";
inline constexpr char kBitmapPressedPath[] = ":/bitmaps/133";
inline constexpr char kIconProgramPath[] = ":/icons/128";

// Registers res/remote.qrc. The resources live in a static library, whose
// initialiser the linker drops unless something refers to it: call this once
// (any thread, any number of times) before loading a bitmap or the icon.
void InitRemoteResources();

// Bitmap 132 or 133 from the resources; a null pixmap for any other id or when
// loading fails. Needs a QGuiApplication.
QPixmap LoadRemoteBitmap(int id);
// Icon 128 from the resources.
QIcon LoadProgramIcon();

// The frame rectangle of the erase step: x 48..200 (exclusive), from
// picture top - 2, 534 high, relative to the client rectangle's top left.
QRect RemoteFrameRect(const QRect& client);

// Picture `normal` with the rectangle of `highlight` copied from `pressed` at the
// same position (nothing copied when the key has no place, or for key 0).
QImage ComposeRemotePicture(const QImage& normal, const QImage& pressed, KeyId highlight);

// Erase step alone: fills `client` except RemoteFrameRect(client) with the
// button-face colour. The frame rectangle itself is never erased.
void PaintRemoteBackground(QPainter& p, const QRect& client, const QPalette& pal);

// The whole paint of the picture side, for the dialog's paintEvent:
// background outside the frame rectangle (button face, QPalette::Button), the
// 2-pixel bump frame (raised outside, sunken inside; light and dark-shadow
// colours of `pal`), and the composed picture in one copy at x = client.left()+50,
// y = client.top() + RemotePictureTop(client.height()). On a device with
// devicePixelRatio > 1 the frame and picture are drawn at an integer scale with
// nearest-neighbour sampling, never smoothed.
void PaintRemoteArea(QPainter& p, const QRect& client, KeyId highlight, const QPixmap& normal132,
                     const QPixmap& pressed133, const QPalette& pal);

// What a minimised dialog paints: `icon` centred, at
// ((w - iconSize + 1) / 2, (h - iconSize + 1) / 2). Window managers on Linux draw
// minimised windows themselves, so the dialog rarely needs it.
void PaintMinimisedIcon(QPainter& p, const QRect& client, const QIcon& icon, int iconSize = 32);

// The dialog's m_nHighlightKey, safe to write from the dispatcher threads and read
// from the window thread. Last write wins.
class HighlightState {
public:
    // Stores k; true when the picture must be repainted (k differs from the key
    // shown until now). Auto-repeat of a held key returns false.
    bool Set(KeyId k) { return m_nKey.exchange(k, std::memory_order_acq_rel) != k; }
    // Stores 0. The caller repaints always, even when nothing was highlighted.
    void Clear() { m_nKey.store(0, std::memory_order_release); }
    KeyId Current() const { return m_nKey.load(std::memory_order_acquire); }

private:
    std::atomic<KeyId> m_nKey{0};
};
