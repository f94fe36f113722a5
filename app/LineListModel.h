// A LineList shown in a list view.
#pragma once

#include <QAbstractListModel>
#include <QTimer>

#include "LineList.h"

namespace tarvik {

// Shows a LineList in a list view without copying it: the list keeps the bytes, the view
// asks for the few rows it paints. Changes reach the view at most every 50 ms, so a busy
// server does not relayout and repaint the list once per request.
class LineListModel : public QAbstractListModel, public LineListView {
  public:
    explicit LineListModel(const LineList& lines, QObject* parent = nullptr);
    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    void InsertedAtTop(const std::string& line) override;
    void RemovedLast() override;
    // Tells the view what changed since the last time.
    void Flush();

  private:
    const LineList& lines_;
    int shown_ = 0;           // rows the view knows of
    int pendingInserts_ = 0;  // lines added at the top since, not yet announced
    QTimer flush_;
};

}  // namespace tarvik
