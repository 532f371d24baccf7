#include "cloud/member_account.h"

void MemberAccount::registerMetaType()
{
    static const int id = qRegisterMetaType<MemberAccount>("MemberAccount");
    Q_UNUSED(id);
}
