#include "SpscRing.h"

#include <QTest>

#include <cstdint>
#include <thread>
#include <vector>

class SpscRingTest : public QObject
{
    Q_OBJECT

private slots:
    void shouldRoundCapacityUpToPowerOfTwo_data()
    {
        QTest::addColumn<int>("requested");
        QTest::addColumn<int>("capacity");
        QTest::newRow("one") << 1 << 1;
        QTest::newRow("exact") << 64 << 64;
        QTest::newRow("above") << 65 << 128;
        QTest::newRow("odd") << 1000 << 1024;
    }

    void shouldRoundCapacityUpToPowerOfTwo()
    {
        QFETCH(int, requested);
        QFETCH(int, capacity);
        SpscRing<int> ring(static_cast<size_t>(requested));
        QCOMPARE(ring.capacity(), static_cast<size_t>(capacity));
        QCOMPARE(ring.writeAvailable(), static_cast<size_t>(capacity));
        QCOMPARE(ring.readAvailable(), size_t(0));
    }

    void shouldRefuseWhenFullAndGiveNothingWhenEmpty()
    {
        SpscRing<int> ring(4);
        int value = -1;
        QVERIFY(!ring.tryPop(value));
        QCOMPARE(value, -1);
        for (int i = 0; i < 4; ++i)
            QVERIFY(ring.tryPush(i));
        QVERIFY(!ring.tryPush(99));
        QCOMPARE(ring.writeAvailable(), size_t(0));
        for (int i = 0; i < 4; ++i) {
            QVERIFY(ring.tryPop(value));
            QCOMPARE(value, i);
        }
        QVERIFY(!ring.tryPop(value));
    }

    void shouldKeepOrderAcrossTheWrap()
    {
        // Bulk pushes and pops of awkward sizes, so copies split at the end of the storage.
        SpscRing<int> ring(8);
        int next = 0;
        int expected = 0;
        std::vector<int> out(8);
        for (int round = 0; round < 100; ++round) {
            const int want = 1 + round % 7;
            std::vector<int> in;
            for (int i = 0; i < want; ++i)
                in.push_back(next + i);
            const size_t pushed = ring.push(in.data(), in.size());
            next += static_cast<int>(pushed);
            const size_t popped = ring.pop(out.data(), static_cast<size_t>(1 + round % 5));
            for (size_t i = 0; i < popped; ++i)
                QCOMPARE(out[i], expected++);
        }
        while (const size_t popped = ring.pop(out.data(), out.size())) {
            for (size_t i = 0; i < popped; ++i)
                QCOMPARE(out[i], expected++);
        }
        QCOMPARE(expected, next);
    }

    void shouldDiscardOnlyWhatWasPublished()
    {
        SpscRing<int> ring(8);
        const int first[] = {1, 2, 3};
        ring.push(first, 3);
        ring.discardAll();
        QCOMPARE(ring.readAvailable(), size_t(0));
        QCOMPARE(ring.writeAvailable(), size_t(8));
        const int second[] = {7, 8};
        ring.push(second, 2);
        int value = 0;
        QVERIFY(ring.tryPop(value));
        QCOMPARE(value, 7);
    }

    void shouldDeliverEveryValueOnceInOrderBetweenTwoThreads()
    {
        constexpr uint64_t total = 2'000'000;
        SpscRing<uint64_t> ring(1024);
        std::thread producer([&ring] {
            uint64_t block[61];
            uint64_t next = 0;
            while (next < total) {
                const uint64_t n = std::min<uint64_t>(1 + next % 61, total - next);
                for (uint64_t i = 0; i < n; ++i)
                    block[i] = next + i;
                const size_t pushed = ring.push(block, n);
                next += pushed;
                if (pushed == 0)
                    std::this_thread::yield();
            }
        });
        uint64_t expected = 0;
        uint64_t mismatches = 0;
        uint64_t block[37];
        while (expected < total) {
            const size_t popped = ring.pop(block, 1 + expected % 37);
            for (size_t i = 0; i < popped; ++i) {
                if (block[i] != expected)
                    ++mismatches;
                ++expected;
            }
            if (popped == 0)
                std::this_thread::yield();
        }
        producer.join();
        QCOMPARE(mismatches, uint64_t(0));
        QCOMPARE(expected, total);
        QCOMPARE(ring.readAvailable(), size_t(0));
    }
};

QTEST_GUILESS_MAIN(SpscRingTest)
#include "SpscRingTest.moc"
