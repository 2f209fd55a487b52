#include "tool/Form.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace fuel::tool {

void CheckBox::SetChecked(bool checked) {
    checked_ = checked;
    if (OnClick) {
        OnClick();
    }
}

void SpinEdit::SetText(std::string text) {
    if (text == text_) {
        return;
    }
    text_ = std::move(text);
    if (OnChange) {
        OnChange();
    }
}

namespace {

double Clamp(double value, double low, double high) {
    if (low == 0 && high == 0) {
        return value;
    }
    return std::clamp(value, low, high);
}

}  // namespace

double SpinEdit::Value(double fallback) const {
    std::string text = text_;
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return fallback;
    }
    text = text.substr(first, text.find_last_not_of(' ') - first + 1);
    char* end = nullptr;
    double value = 0;
    if (Mode == Entry::Hexadecimal) {
        value = static_cast<double>(std::strtoll(text.c_str(), &end, 16));
    } else {
        // Either separator is taken on input: a person types what the keyboard offers.
        std::replace(text.begin(), text.end(), ',', '.');
        value = std::strtod(text.c_str(), &end);
    }
    if (end == text.c_str() || *end != '\0' || !std::isfinite(value)) {
        return fallback;
    }
    return Clamp(value, MinValue, MaxValue);
}

void SpinEdit::SetValue(double value) {
    value = Clamp(value, MinValue, MaxValue);
    char text[64];
    if (Mode == Entry::Hexadecimal) {
        std::snprintf(text, sizeof text, "%0*llX", std::clamp(Digits, 0, 16),
                      static_cast<unsigned long long>(std::llround(std::max(value, 0.0))));
    } else if (Mode == Entry::Integer) {
        std::snprintf(text, sizeof text, "%lld", std::llround(value));
    } else {
        std::snprintf(text, sizeof text, "%.*f", Decimals, value);
        std::replace(text, text + sizeof text, '.', DecimalSeparator);
    }
    SetText(text);
}

void SpinEdit::Step(int delta) {
    SetValue(Value(MinValue) + delta * Increment);
}

void ComboBox::SetItemIndex(int index) {
    itemIndex_ = index >= 0 && index < static_cast<int>(Items.size()) ? index : -1;
}

void ComboBox::Select(int index) {
    SetItemIndex(index);
    if (OnChange) {
        OnChange();
    }
}

void ComboBox::Clear() {
    Items.clear();
    itemIndex_ = -1;
}

void ComboBox::Delete(int index) {
    if (index < 0 || index >= static_cast<int>(Items.size())) {
        return;
    }
    Items.erase(Items.begin() + index);
    if (itemIndex_ == index) {
        itemIndex_ = -1;
    } else if (itemIndex_ > index) {
        --itemIndex_;
    }
}

Control* Form::Find(std::string_view name) const {
    for (Control* control : controls_) {
        if (control->Name() == name) {
            return control;
        }
    }
    return nullptr;
}

}  // namespace fuel::tool
