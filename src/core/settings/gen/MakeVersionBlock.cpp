// Build-time tool: writes the program's version block as a C++ source.
// Arguments: program name, version text, output file.
#include "core/settings/VersionBlock.h"

#include <QFile>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s NAME VERSION OUTPUT\n", argv[0]);
        return 2;
    }
    const QByteArray block = corvid::VersionBlock::Build(corvid::VersionBlock::ProgramContents(
        QString::fromUtf8(argv[1]), QString::fromUtf8(argv[2]), 0x0411, 0x03A4));
    QByteArray text = "// Generated at build time from the project version. Do not edit.\n"
                      "#include \"core/settings/VersionBlock.h\"\n\n"
                      "namespace corvid {\nnamespace {\nconst unsigned char kBlock[] = {";
    for (qsizetype i = 0; i < block.size(); ++i) {
        if (i % 16 == 0)
            text += "\n   ";
        text += ' ' + QByteArray::number(quint8(block[i])) + ',';
    }
    text += "\n};\n} // namespace\n\nQByteArray ownVersionBlock()\n{\n"
            "    return QByteArray::fromRawData(reinterpret_cast<const char*>(kBlock), sizeof kBlock);\n}\n\n"
            "} // namespace corvid\n";
    QFile out(QString::fromLocal8Bit(argv[3]));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(text) != text.size()) {
        std::fprintf(stderr, "cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
