#pragma once
// Objects built from their options struct (X::Options), the defaults changed by a few lines.

// An Object whose options are the defaults changed by set(options).
template <class Object, class Set>
Object with_options(Set&& set) {
    typename Object::Options options;
    set(options);
    return Object(options);
}
