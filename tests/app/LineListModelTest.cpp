// The list model between a LineList and its view: every announcement must match the rows
// (Qt's model tester checks each one), newest line first, the oldest dropped at the cap.
#include "LineListModel.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>

namespace tarvik {
namespace {

std::string Row(const LineListModel& model, int row) {
    return model.index(row).data().toString().toStdString();
}

TEST(LineListModel, TheViewFollowsInsertsAtTheTopAndLinesFallingOffTheEnd) {
    LineList lines;
    LineListModel model(lines);
    lines.SetView(&model);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    // Every insertion and removal announced is of at least one row.
    const auto rows = [](const QModelIndex&, int first, int last) { EXPECT_LE(first, last); };
    QObject::connect(&model, &QAbstractItemModel::rowsAboutToBeRemoved, rows);
    QObject::connect(&model, &QAbstractItemModel::rowsAboutToBeInserted, rows);
    int next = 0;
    // Lines added, then the cap they are trimmed to, before the view is told.
    for (const auto& [added, cap] : {std::pair{3, 1000}, {2, 4}, {0, 2}, {5, 5}, {7, 3}}) {
        const std::string shownTop = model.rowCount() > 0 ? Row(model, 0) : "";
        for (int i = 0; i < added; ++i) lines.InsertTop("line " + std::to_string(next++));
        lines.TrimTo(static_cast<std::size_t>(cap));
        if (model.rowCount() > 0 && added < cap) {
            EXPECT_EQ(Row(model, 0), shownTop);
        }
        model.Flush();
        ASSERT_EQ(model.rowCount(), static_cast<int>(lines.Count())) << added << " " << cap;
        for (int row = 0; row < model.rowCount(); ++row)
            EXPECT_EQ(Row(model, row), lines.Line(row));
    }
}

}  // namespace
}  // namespace tarvik
