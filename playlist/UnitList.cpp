#include "playlist/UnitList.h"

#include "assets/Skin.h"
#include "platform/ui/ErrorDisplay.h"
#include "playlist/Playlist.h"
#include "widgets/Image.h"
#include "widgets/TFlatListBoxUnit.h"
#include "widgets/WindowMove.h"

#include <QAction>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QUrl>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QMenu>

TFormList* FormList = nullptr;

TFormList::TFormList(QWidget* parent) : QWidget(parent, Qt::Window | Qt::FramelessWindowHint)
{
    FormList = this;
    setObjectName("FormList");
    setWindowTitle("DuoDeck Playlists");
    // Closing the main window ends the program even though this one is still open.
    setAttribute(Qt::WA_QuitOnClose, false);
    setFixedSize(ClientWidth, ClientHeight);
    move(205, 356);

    ImgForm = new TImage(this);
    ImgForm->setObjectName("ImgForm");
    ImgForm->move(0, 0);

    PopupMenu1 = CreateMenu("PopupMenu1", Delete1, DeleteAll1);
    PopupMenu2 = CreateMenu("PopupMenu2", Delete2, DeleteAll2);
    connect(Delete1, &QAction::triggered, this, &TFormList::Delete1Click);
    connect(DeleteAll1, &QAction::triggered, this, &TFormList::DeleteAll1Click);
    connect(Delete2, &QAction::triggered, this, &TFormList::Delete2Click);
    connect(DeleteAll2, &QAction::triggered, this, &TFormList::DeleteAll2Click);

    FlatListBox1 = CreateListBox("FlatListBox1", 16, PopupMenu1);
    FlatListBox2 = CreateListBox("FlatListBox2", 200, PopupMenu2);
    FlatListBox1->OnClick = [this](QObject*) { FlatListBox1Click(); };
    FlatListBox2->OnClick = [this](QObject*) { FlatListBox2Click(); };

    Action1 = new QAction(this);
    Action1->setObjectName("Action1");
    Action1->setShortcut(QKeySequence(Qt::Key_Delete));
    Action1->setShortcutContext(Qt::WindowShortcut);
    addAction(Action1);
    connect(Action1, &QAction::triggered, this, &TFormList::Action1Execute);

    FormCreate();
}

TFormList::~TFormList()
{
    if (FormList == this)
        FormList = nullptr;
}

QMenu* TFormList::CreateMenu(const char* name, QAction*& deleteOne, QAction*& deleteAll)
{
    auto* menu = new QMenu(this);
    menu->setObjectName(name);
    deleteOne = menu->addAction("Delete");
    deleteAll = menu->addAction("Delete All");
    return menu;
}

TFlatListBox* TFormList::CreateListBox(const char* name, int left, QMenu* menu)
{
    auto* box = new TFlatListBox(this);
    box->setObjectName(name);
    box->BeginLoad();
    box->SetScrollBars(true);
    box->SetBounds(left, 32, 180, 195);
    box->SetColor(clYellow);
    box->SetColorArrow(clLime);
    box->SetColorBorder(0x0080FF); // red 255, green 128, blue 0
    box->SetColorItemsRect(clOlive);
    box->SetColorItemsSelect(clLime);
    box->SetPopupMenu(menu);
    box->Loaded();
    return box;
}

void TFormList::FormCreate()
{
    const QImage skin = artwork::Load(artwork::SkinList);
    ImgForm->SetPicture(artwork::LoadForScreen(artwork::SkinList));
    if (const auto region = CreateSkinRegion(skin))
        setMask(*region);
    else
        clearMask();
    ImgForm->installEventFilter(this);
    // Song files dropped from a file manager on a deck's box join that deck's playlist.
    for (TFlatListBox* box : {FlatListBox1, FlatListBox2}) {
        box->setAcceptDrops(true);
        box->installEventFilter(this);
    }
}

bool TFormList::DropEvent(QObject* watched, QEvent* event)
{
    const bool left = watched == FlatListBox1;
    if (!left && watched != FlatListBox2)
        return false;
    if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
        auto* drag = static_cast<QDropEvent*>(event);
        if (!drag->mimeData()->hasUrls())
            return false;
        drag->acceptProposedAction();
        return true;
    }
    if (event->type() != QEvent::Drop)
        return false;
    auto* drop = static_cast<QDropEvent*>(event);
    QByteArrayList paths;
    for (const QUrl& url : drop->mimeData()->urls())
        if (url.isLocalFile())
            paths.append(QFile::encodeName(url.toLocalFile()));
    drop->acceptProposedAction();
    const std::string message = AddDroppedSongs(left ? LeftPlaylist() : RightPlaylist(), paths);
    if (!message.empty())
        ReportError(message);
    return true;
}

// Dragging: by the surface or the skin alike, and the main window follows every move.
void TFormList::DragMove(QPoint p)
{
    if (!FDragging)
        return;
    move(x() + p.x() - FDragAt.x(), y() + p.y() - FDragAt.y());
    if (OnDragged)
        OnDragged();
}

void TFormList::mousePressEvent(QMouseEvent* event)
{
    if (CompositorMoves(this))
        return;
    FDragging = true;
    FDragAt = event->position().toPoint();
}

void TFormList::mouseMoveEvent(QMouseEvent* event)
{
    DragMove(event->position().toPoint());
}

void TFormList::mouseReleaseEvent(QMouseEvent*)
{
    FDragging = false;
}

bool TFormList::eventFilter(QObject* watched, QEvent* event)
{
    if (DropEvent(watched, event))
        return true;
    if (watched == ImgForm) {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
            mousePressEvent(static_cast<QMouseEvent*>(event));
            return true;
        case QEvent::MouseMove:
            mouseMoveEvent(static_cast<QMouseEvent*>(event));
            return true;
        case QEvent::MouseButtonRelease:
            mouseReleaseEvent(static_cast<QMouseEvent*>(event));
            return true;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TFormList::SetPlaylists(const TPlaylist& left, const TPlaylist& right)
{
    FLeft = left;
    FRight = right;
}

TPlaylist TFormList::LeftPlaylist() const
{
    TPlaylist list = FLeft;
    list.Box = FlatListBox1;
    return list;
}

TPlaylist TFormList::RightPlaylist() const
{
    TPlaylist list = FRight;
    list.Box = FlatListBox2;
    return list;
}

void TFormList::FlatListBox1Click()
{
    LeftListActive = true;
    RightListActive = false;
    LeftAnchor = SelectRange(FlatListBox1, LeftAnchor, QGuiApplication::keyboardModifiers() & Qt::ShiftModifier);
}

void TFormList::FlatListBox2Click()
{
    RightListActive = true;
    LeftListActive = false;
    RightAnchor = SelectRange(FlatListBox2, RightAnchor, QGuiApplication::keyboardModifiers() & Qt::ShiftModifier);
}

void TFormList::Delete1Click()
{
    LeftListActive = true;
    RightListActive = false;
    DeleteSelected(LeftPlaylist());
}

void TFormList::Delete2Click()
{
    RightListActive = true;
    LeftListActive = false;
    DeleteSelected(RightPlaylist());
}

void TFormList::DeleteAll1Click()
{
    DeleteAll(LeftPlaylist());
}

void TFormList::DeleteAll2Click()
{
    DeleteAll(RightPlaylist());
}

void TFormList::Action1Execute()
{
    if (LeftListActive)
        DeleteSelected(LeftPlaylist());
    else if (RightListActive)
        DeleteSelected(RightPlaylist());
}
