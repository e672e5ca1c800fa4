#include <windows.h>

extern "C" int WINAPI GetSystemMetrics(int index)
{
    switch (index) {
    case SM_CXSCREEN:
        return 1920;
    case SM_CYSCREEN:
        return 1080;
    case SM_CXICON:
    case SM_CYICON:
        return 32;
    case SM_CXSMICON:
    case SM_CYSMICON:
        return 16;
    default:
        return 0;
    }
}

extern "C" int WINAPI MulDiv(int number, int numerator, int denominator)
{
    if (denominator == 0)
        return -1;
    long long product = static_cast<long long>(number) * numerator;
    bool negative = (product < 0) != (denominator < 0);
    unsigned long long magnitude = static_cast<unsigned long long>(product < 0 ? -product : product);
    unsigned long long divisor = static_cast<unsigned long long>(denominator < 0 ? -static_cast<long long>(denominator) : denominator);
    unsigned long long q = (magnitude + divisor / 2) / divisor;
    if (q > 0x7fffffffull)
        return -1;
    return negative ? -static_cast<int>(q) : static_cast<int>(q);
}
