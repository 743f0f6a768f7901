#pragma once

// main() for an executable that runs several test classes. Every per-user folder (XDG_*)
// points at a temporary folder first, so no test can touch the real settings.

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTest>

namespace vell::test {

template <typename... Tests> int runTests(int argc, char **argv)
{
    QTemporaryDir home;
    for (const char *v : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"})
        qputenv(v, QFile::encodeName(home.filePath(QString::fromLatin1(v))));
    int failed = 0;
    const auto one = [&](auto test) { failed += QTest::qExec(&test, argc, argv); };
    (one(Tests()), ...);
    return failed;
}

} // namespace vell::test

#define VELL_TEST_MAIN(App, ...)                                                                   \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        App app(argc, argv);                                                                       \
        return vell::test::runTests<__VA_ARGS__>(argc, argv);                                      \
    }

/// The current row's value of column name, as an expression.
#define VELL_FETCH(Type, name) (*static_cast<Type *>(QTest::qData(#name, ::qMetaTypeId<Type>())))
