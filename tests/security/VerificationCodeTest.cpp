// The code users read aloud: eight digits that change with every input,
// and a commitment only the committed value opens.
#include "core/security/VerificationCode.h"

#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

using namespace corvid;

TEST(VerificationCode, EveryInputCountsAndOnlyTheCommittedValueOpens)
{
    const QByteArray exporter(32, 'e');
    const QByteArray server(32, 's');
    const QByteArray client(32, 'c');
    const QByteArray sn = VerificationCode::NewNonce();
    const QByteArray cn = VerificationCode::NewNonce();
    ASSERT_EQ(sn.size(), VerificationCode::kNonceBytes);
    ASSERT_NE(sn, cn);
    const QString code = VerificationCode::Code(exporter, server, client, sn, cn);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{4} \\d{4}$")).match(code).hasMatch()) << code.toStdString();
    EXPECT_EQ(code, VerificationCode::Code(exporter, server, client, sn, cn));
    // Each part changed alone, and the two keys swapped, give another code.
    const QByteArray other(32, 'x');
    QSet<QString> codes{code};
    codes << VerificationCode::Code(other, server, client, sn, cn) << VerificationCode::Code(exporter, other, client, sn, cn)
          << VerificationCode::Code(exporter, server, other, sn, cn) << VerificationCode::Code(exporter, server, client, other, cn)
          << VerificationCode::Code(exporter, server, client, sn, other) << VerificationCode::Code(exporter, client, server, sn, cn);
    EXPECT_EQ(codes.size(), 7);

    const QByteArray commitment = VerificationCode::Commit(cn);
    EXPECT_TRUE(VerificationCode::Opens(commitment, cn));
    EXPECT_FALSE(VerificationCode::Opens(commitment, sn));
    EXPECT_FALSE(VerificationCode::Opens(commitment, cn.left(31)));
    EXPECT_FALSE(VerificationCode::Opens(commitment.left(31), cn));
}
