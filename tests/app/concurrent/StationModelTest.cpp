#include "app/StationModel.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/MainThreadQueue.h"
#include "tests/app/concurrent/RecordingView.h"

namespace C = StationControl;

TEST(StationModel, TheViewEndsWithTheModelsTextsWhenManyThreadsWriteTheSameCells) {
    CMainThreadQueue queue;
    RecordingView view;
    CStationModel model(queue, &view);

    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&model, t] {
            for (int i = 0; i < 500; ++i) {
                model.SetCellText(i % kTableRows, kColumnStatus,
                                  "t" + std::to_string(t) + "-" + std::to_string(i));
                model.EditControlText(C::kTotalCounter, [](const std::string& s) {
                    return std::to_string(s.empty() ? 1 : std::stoi(s) + 1);
                });
            }
        });
    }
    // The main thread shows changes while the writers run.
    for (int i = 0; i < 50; ++i) {
        queue.RunFor(1);
    }
    for (auto& w : writers) {
        w.join();
    }
    queue.RunPending();

    EXPECT_EQ(model.ControlText(C::kTotalCounter), "2000");
    EXPECT_EQ(view.Text(C::kTotalCounter), "2000");
    for (int r = 0; r < kTableRows; ++r) {
        EXPECT_EQ(view.Cell(r, kColumnStatus), model.CellText(r, kColumnStatus)) << r;
    }
}

TEST(StationModel, OneThreadsChangesArriveInTheOrderMadeAndBeforeWhatItPostsAfterThem) {
    CMainThreadQueue queue;
    RecordingView view;
    CStationModel model(queue, &view);
    std::vector<std::string> seenAtResult;

    std::thread worker([&] {
        model.DropRowColour(4);
        model.SetCellText(4, kColumnStatus, "");
        model.SetCellText(4, kColumnStatus, "step 1");
        model.SetCellText(4, kColumnStatus, "step 2");
        queue.Post([&] { seenAtResult = view.StatusHistory(4); });
    });
    worker.join();
    queue.RunPending();
    EXPECT_EQ(seenAtResult, (std::vector<std::string>{"", "step 1", "step 2"}));
}

TEST(StationModel, ClearRowEmptiesLocationAndStatusAndDropsTheColour) {
    CMainThreadQueue queue;
    RecordingView view;
    CStationModel model(queue, &view);
    model.SetCellText(2, kColumnLocation, "1-3");
    model.SetCellText(2, kColumnStatus, "OK");
    model.SetRowColour(2, kRowGreen);
    queue.RunPending();
    ASSERT_EQ(view.Colour(2), kRowGreen);
    model.ClearRow(2);
    queue.RunPending();
    EXPECT_EQ(model.CellText(2, kColumnSlot), "3");
    EXPECT_EQ(view.Cell(2, kColumnLocation), "");
    EXPECT_EQ(view.Cell(2, kColumnStatus), "");
    EXPECT_EQ(view.Colour(2), std::nullopt);
    EXPECT_EQ(model.RowColourOf(2), std::nullopt);
}

TEST(StationModel, ChangesStillQueuedWhenTheModelGoesAwayAreDropped) {
    CMainThreadQueue queue;
    RecordingView view;
    {
        CStationModel model(queue, &view);
        model.SetControlText(C::kUnusedLabel, "Unused:5");
    }
    EXPECT_EQ(queue.RunPending(), 1u);
    EXPECT_EQ(view.Text(C::kUnusedLabel), "");
}
