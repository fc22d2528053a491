#ifndef WINDOW_H
#define WINDOW_H

#include "framesource.h"
#include "frameview.h"
#include "zoomlevel.h"

#include <QMainWindow>
#include <QStandardPaths>

#include <memory>
#include <optional>

QT_BEGIN_NAMESPACE
class QAction;
class QActionGroup;
class QLabel;
class QLCDNumber;
class QMenu;
class QMimeData;
class QScrollBar;
QT_END_NAMESPACE
class brightnessdialog;
class importflow;
class orthoview;
class pixelvalues;

class window : public QMainWindow
{
    Q_OBJECT

public:
    explicit window(QWidget *parent = nullptr);
    ~window() override;

    void openDescriptor(const QString &fileName);
    void openFile(const QString &fileName);
    void openRecording(const QStringList &paths, int image = -1);
    void openPaths(const QStringList &paths);
    void setRequestTimeout(int seconds) { requestTimeout = seconds; }
    // What is shown, or null before anything is.
    framesource *frames() const { return source.get(); }

protected:
    void wheelEvent(QWheelEvent *e) override;
    void paintEvent(QPaintEvent *e) override;
    void moveEvent(QMoveEvent *e) override;
    void dragEnterEvent(QDragEnterEvent *e) override;
    void dropEvent(QDropEvent *e) override;

private slots:
    void open();
    void about();
    void keyPressEvent(QKeyEvent *e) override;
    void prevTime();
    void nextTime();
    void upFocal();
    void downFocal();
    void imageTimeChanged(int a);
    void imageFocalChanged(int a);
    void zoomIn();
    void zoomOut();
    void normalSize();
    void fitToWindow(bool on);
    void frameDoubleClicked(const QPoint &framePoint);
    void reloadFrame();
    void reread();
    void openUrl();
    void openRecordingDialog();
    void saveAsDataset();
    void chooseImage(QAction *action);
    void swapAxes(bool on);
    void showChannel(int c, bool on);
    void showBrightness();
    void displayChanged();
    void chooseProjection(QAction *action);
    void toggleProjection();
    void chooseFocalRange();
    void showOrthogonal(bool on);
    void orthoClicked(const QPoint &point, int plane);
    void setPoint(const QPoint &framePoint);
    void showPixelValues(bool on);
    void pointerMoved(const QPoint &framePoint);
    void pointerLeft();
    void nudgePointer(int dx, int dy);
    void chooseOverlaySettings();
    void showInfo();
    void openRecent(QAction *action);
    void exportView();
    void exportMovie();

private:
    static QStringList droppedPaths(const QMimeData *data);
    void createActions();
    void createMenus();
    void showFrames(std::unique_ptr<framesource> frames);
    void updateImageMenu();
    void refuse(const QString &problem);
    void showPendingProblem();
    void readDescriptor(const QString &fileName);
    void fitOnScreen(const zoomlevel &level = zoomlevel());
    void layOut(const QSize &area);
    QSize imageArea(const zoomlevel &level) const;
    QPoint placed(const QSize &area) const;
    void describeControls();
    void zoomBy(bool in, const std::optional<QPoint> &at = std::nullopt);
    void zoomTo(const zoomlevel &level, const std::optional<QPoint> &at = std::nullopt);
    QPoint areaCentre() const;
    void updateZoom();
    void requestFrame();
    QByteArray frameName() const;
    QByteArray digit3(int a) const;
    framesource *adjustable() const;
    void goToTime(qint64 t);
    void goToFocal(qint64 z);
    void setProjection(projectionKind kind);
    framesource::range focalRange() const;
    void readOrthogonal();
    void placeOrthogonal();
    void updatePixelValues();
    void updateOverlays();
    void remember(const QStringList &paths);
    void updateRecentMenu();
    QString proposedName(const QString &suffix, QStandardPaths::StandardLocation elsewhere) const;
    void burnOverlays(QImage &picture, const QRect &part, bool scaleBar, bool timeStamp, int t);
    QString stampText(int t) const;

    frameview *imageLabel;
    QLabel *mainLabel;
    QLabel *dsName;
    QLCDNumber *timePoint;
    QLCDNumber *focalPlane;
    QScrollBar *scrollTime;
    QScrollBar *scrollFocal;

    QByteArray dataset;
    QString path;
    int mTimePoint = -1;
    int mFocalPlane = -1;
    int minTime = 0;
    int maxTime = 0;
    int minFocal = 0;
    int maxFocal = 0;
    int pTime = -1;
    int pFocal = -1;
    bool pValid = false;
    bool pictureWanted = false;
    int width = 300;
    int height = 300;
    bool opened = false;
    QSize decoration;
    std::unique_ptr<framesource> source;
    QString lastFolder;
    QString lastUrl;
    QString pendingProblem;   // a refusal waiting for the window to be on screen
    int requestTimeout = 20;   // seconds, for each request over the network

    QAction *openAct;
    QAction *openRecordingAct;
    QAction *openUrlAct;
    QAction *saveAct;
    QAction *exitAct;
    QAction *aboutAct;
    QAction *aboutQtAct;
    QAction *zoomInAct;
    QAction *zoomOutAct;
    QAction *normalSizeAct;
    QAction *fitAct;
    QAction *swapAct;
    QAction *brightnessAct;
    QActionGroup *imageGroup;
    QActionGroup *projectionGroup;
    QAction *projectToggleAct;
    QAction *focalRangeAct;
    QAction *orthoAct;
    QAction *pixelValuesAct;
    QAction *scaleBarAct;
    QAction *timeStampAct;
    QAction *overlaySettingsAct;
    QAction *infoAct;
    QAction *exportViewAct;
    QAction *exportMovieAct;
    QAction *rereadAct;
    QMenu *recentMenu;
    QMenu *projectionMenu;
    QMenu *fileMenu;
    QMenu *viewMenu;
    QMenu *imageMenu;
    QMenu *imagesMenu;
    QMenu *channelsMenu;
    QMenu *helpMenu;
    importflow *importFlow;
    brightnessdialog *brightness = nullptr;
    projectionKind lastProjection = projectionKind::maximum;
    framesource::range projectedPlanes;   // the focal range of projections and orthogonal views
    int focalBeforeProjection = 0;
    orthoview *xzView = nullptr;
    orthoview *yzView = nullptr;
    QPoint point;                          // the point the orthogonal views go through
    bool orthoStale = true;
    int orthoTime = -1;
    pixelvalues *valuesWindow = nullptr;
    overlayStyle overlays;
    class infowindow *info = nullptr;
    std::optional<QPoint> pointer;         // the frame pixel under the pointer

    friend class descriptorFuzzer;
    friend class tst_descriptor;
    friend class tst_window;
    friend class tst_frames;
    friend class tst_navigation;
    friend class tst_hidpi;
    friend class tst_layout;
    friend class tst_view;
    friend class tst_importnames;
    friend class tst_zoom;
    friend class tst_importflow;
    friend class tst_recording;
    friend class tst_zarr;
};

#endif
