// The flat list box of the playlist window: one-pixel border, optional scroll strips with arrows,
// fixed-height rows, a selection of any number of entries, scrolling by strips (auto-repeat), wheel
// and keys, optional see-through background. UI thread only.
// Geometry and state live in plain members (rows, top index, selection); input handlers change
// them and repaint, and paintEvent only draws from them.
#pragma once

#include "widgets/Graphics.h"
#include "widgets/ListItems.h"
#include "widgets/WidgetEvents.h"

#include <QRect>
#include <QWidget>
#include <functional>
#include <set>
#include <vector>

class QMenu;
class QPainter;
class QTimer;

enum TTransparentMode { tmAlways, tmNotFocused, tmNone };
using TAdvColors = int; // 0…100

using TMouseEvent =
    std::function<void(QObject* Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y)>;
using TMouseMoveEvent = std::function<void(QObject* Sender, Qt::KeyboardModifiers Shift, int X, int Y)>;

class TFlatListBox : public QWidget {
    Q_OBJECT
public:
    static constexpr int StripHeight = 11;
    static constexpr int RepeatDelayMs = 600; // first auto-repeat step after a press on a strip
    static constexpr int RepeatRateMs = 100;  // following steps

    explicit TFlatListBox(QWidget* owner = nullptr);
    ~TFlatListBox() override;

    // Every change of the entries clears the selection (while enabled) and repaints; the view is
    // not scrolled back, so the top index may lie past the last entry.
    TListItems& Items() { return FItems; }
    const TListItems& Items() const { return FItems; }
    // Trims blanks from every entry of `value` itself (the caller's list changes) and copies it
    // into Items.
    void SetItems(QStringList& value);

    int ItemHeight() const { return FItemHeight; }
    void SetItemHeight(int value);
    bool MultiSelect() const { return FMultiSelect; }
    void SetMultiSelect(bool value) { FMultiSelect = value; }
    bool ScrollBars() const { return FScrollBars; }
    void SetScrollBars(bool value);
    bool Sorted() const { return FItems.Sorted(); }
    void SetSorted(bool value);

    TColor Color() const { return FColor; }
    void SetColor(TColor value); // also ends ParentColor
    bool ParentColor() const { return FParentColor; }
    void SetParentColor(bool value);
    TColor ColorArrow() const { return FColorArrow; }
    void SetColorArrow(TColor value);
    TColor ColorBorder() const { return FColorBorder; }
    void SetColorBorder(TColor value);
    TColor ColorItemsRect() const { return FColorItemsRect; }
    void SetColorItemsRect(TColor value);
    TColor ColorItemsSelect() const { return FColorItemsSelect; }
    void SetColorItemsSelect(TColor value);
    TTransparentMode TransparentMode() const { return FTransparentMode; }
    void SetTransparentMode(TTransparentMode value);
    // True: ColorBorder is derived from Color, darkened by AdvColorBorder; ParentColor follows.
    bool UseAdvColors() const { return FUseAdvColors; }
    void SetUseAdvColors(bool value);
    TAdvColors AdvColorBorder() const { return FAdvColorBorder; }
    void SetAdvColorBorder(TAdvColors value); // held to 0…100

    QMenu* PopupMenu() const { return FPopupMenu; }
    void SetPopupMenu(QMenu* value) { FPopupMenu = value; }

    // False for every negative index. Writing in single-selection mode clears all first.
    bool Selected(int index) const;
    void SetSelected(int index, bool value);
    // Selects that entry alone (clamped to the list) and scrolls it into view; false without entries.
    bool SelectOnly(int index);

    // Between BeginLoad and Loaded, setting ItemHeight or ScrollBars does not resize the control
    // and resizes do not snap; Loaded lays the rows out. Used when a window applies stored
    // geometry and settings together.
    void BeginLoad() { FLoading = true; }
    void Loaded();

    // Sets the geometry and lays the rows out at once, even while the control is hidden (Qt
    // delivers the resize event of a hidden widget only when it is shown).
    void SetBounds(int left, int top, int width, int height);

    // State for the owner and for tests.
    int TopIndex() const { return FTopIndex; }
    int VisibleRows() const { return FVisibleRows; }
    const std::vector<QRect>& Rows() const { return FRows; }
    QRect TopStrip() const { return QRect(0, 0, width(), StripHeight); }
    QRect BottomStrip() const { return QRect(0, height() - StripHeight, width(), StripHeight); }
    bool UpArrowActive() const { return FTopIndex != 0 && isEnabled(); }
    bool DownArrowActive() const { return FItems.Count() >= FTopIndex + FVisibleRows + 1 && isEnabled(); }
    bool ScrollingDown() const { return FScrollDown; }

    // The auto-repeat timer shared by all list boxes; nullptr when no list box exists.
    static QTimer* RepeatTimer();
    // Program milliseconds of the shared timer's next interval (600 after a release, then 100).
    static int RepeatInterval();
    // One tick of the shared timer, delivered to the list box that started the auto-repeat.
    static void RepeatTimerTimer();

    TNotifyEvent OnClick;
    TMouseMoveEvent OnMouseMove;
    TMouseEvent OnMouseDown;
    TMouseEvent OnMouseUp;

    // Input handling, called by the Qt event handlers below; `pos` in client coordinates.
    void MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, QPoint pos);
    void MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, QPoint pos);
    // One wheel message; `delta` in eighths of a degree (120 per notch). Remainders are kept, so
    // fine-grained wheels and touchpads scroll once a whole notch has been turned.
    void MouseWheel(int delta);
    // True when the key was one of the four scrolling keys.
    bool KeyDown(int key);

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;
    void moveEvent(QMoveEvent*) override;
    void focusInEvent(QFocusEvent*) override;
    void focusOutEvent(QFocusEvent*) override;
    void changeEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void UpdateRows();
    void Resized();
    void SetHeight(int height);
    int RowsHeight(int rows) const;
    void ItemsChanged();
    void TakeParentColor();
    void UpdateAdvColors();
    void StartRepeat(bool down);
    void RepeatStep();
    void ScrollWheelNotch(bool down, int lines);
    void DrawArrow(QPainter& p, int cx, int baseY, int apexY, bool active) const;
    void Paint(QPainter& p);

    TListItems FItems;
    int FItemHeight = 17;
    bool FMultiSelect = false;
    bool FScrollBars = false;
    TColor FColor = clBtnFace;
    bool FParentColor = true;
    TColor FColorArrow = clBlack;
    TColor FColorBorder = 0x8396A0;
    TColor FColorItemsRect = clWhite;
    TColor FColorItemsSelect = 0x9CDEF7;
    TTransparentMode FTransparentMode = tmNone;
    bool FUseAdvColors = false;
    TAdvColors FAdvColorBorder = 40;
    QMenu* FPopupMenu = nullptr;

    int FTopIndex = 0;
    int FVisibleRows = 0;
    std::vector<QRect> FRows;
    // Indexes of the selected entries; a press on a row past the last entry adds that row's index.
    std::set<int> FSelection;
    bool FScrollDown = false;
    bool FLoading = false;
    bool FClicked = false; // a left press on the control awaits its release
    int FWheelRest = 0;    // wheel delta short of a whole notch
};
