#pragma once
// panxtsz: the settings panel over the middle of the window: the save folder, the
// download mode, the rename prompt, and the table of monitored types.

#include "settings/config_file.h"

#include <QFrame>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QTabWidget;
class QTableWidget;
class QToolButton;

namespace quorrel {

class SettingsPanel : public QFrame {
    Q_OBJECT
public:
    explicit SettingsPanel(QWidget *parent = nullptr);

    QLabel *RzLabel2;
    QToolButton *btnbcsz;       // "保存"
    QToolButton *RzToolButton3; // close
    QTabWidget *PAGECNT1;
    QLineEdit *EditbcPath;
    QToolButton *RzToolButton4; // folder picker
    QCheckBox *chktsggwjm;
    QComboBox *cmbxzfs;
    QTableWidget *gridxtsz;
    QMenu *PopupMenulxbj;

    // Steps 3 to 8 of opening the panel: the controls from the settings, the grid from
    // config.ini. Returns the error that stopped filling the grid, if any.
    std::optional<QString> fill(const SettingsValues &settings, const TypeGridReading &grid);
    // What "保存" saves. A cell still being edited is committed first: the save button
    // takes no focus, so the edit would otherwise stay open and be left out.
    SettingsForm form();

    // The row of the cell the user selected last, counting the header as row 0. Set by
    // selecting a cell alone: deleting rows, refilling the grid and right presses (which
    // open the menu and leave the selection where it is) do not move it.
    int SelectedTypeRow = 0;

    void N13Click(); // "增加类型"
    void N15Click(); // "删除类型"

signals:
    void saveRequested();
    void closeRequested();
    void folderRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void DeleteGridRow(int row);
    void gridxtszSelectCell(int row);
    bool m_rowsChanging = false; // the grid's rows change under the program's hand
};

} // namespace quorrel
