#include "crashreporter/crsh_dwarf_unwind.h"

namespace {

auto& currentLevel(crsh_dwarf_cfa_state* state)
{
    return state->levels[state->level];
}

const auto& currentLevel(const crsh_dwarf_cfa_state* state)
{
    return state->levels[state->level];
}

std::uint8_t bucketOf(std::uint32_t regnum)
{
    return static_cast<std::uint8_t>(regnum % CRSH_DWARF_RULE_BUCKETS);
}

void clearLevel(crsh_dwarf_cfa_state* state, std::size_t level)
{
    auto& target = state->levels[level];
    target.cfa = {};
    target.count = 0;
    for (std::uint8_t& head : target.buckets)
        head = CRSH_DWARF_NO_ENTRY;
}

// Returns every entry of a level to the free chain.
void releaseLevel(crsh_dwarf_cfa_state* state, std::size_t level)
{
    for (std::uint8_t head : state->levels[level].buckets) {
        while (head != CRSH_DWARF_NO_ENTRY) {
            const std::uint8_t following = state->entries[head].next;
            state->entries[head].next = state->free_head;
            state->free_head = head;
            head = following;
        }
    }
    clearLevel(state, level);
}

// Appends a rule to a level's chain for its register (the register has none there yet).
bool appendRule(crsh_dwarf_cfa_state* state, std::size_t level, const crsh_dwarf_rule& rule)
{
    const std::uint8_t entry = state->free_head;
    if (entry == CRSH_DWARF_NO_ENTRY)
        return false;
    state->free_head = state->entries[entry].next;
    state->entries[entry].rule = rule;
    state->entries[entry].next = CRSH_DWARF_NO_ENTRY;
    std::uint8_t* link = &state->levels[level].buckets[bucketOf(rule.regnum)];
    while (*link != CRSH_DWARF_NO_ENTRY)
        link = &state->entries[*link].next;
    *link = entry;
    state->levels[level].count++;
    return true;
}

} // namespace

void crsh_dwarf_cfa_state_init(crsh_dwarf_cfa_state* state)
{
    for (std::size_t level = 0; level < CRSH_DWARF_MAX_STATE_LEVELS; ++level)
        clearLevel(state, level);
    for (std::size_t i = 0; i < CRSH_DWARF_MAX_RULES; ++i) {
        state->entries[i].rule = {};
        state->entries[i].next = i + 1 < CRSH_DWARF_MAX_RULES ? static_cast<std::uint8_t>(i + 1) : CRSH_DWARF_NO_ENTRY;
    }
    state->level = 0;
    state->free_head = 0;
}

bool crsh_dwarf_cfa_state_set_rule(crsh_dwarf_cfa_state* state, std::uint32_t regnum, std::uint32_t type,
                                   std::uint64_t value)
{
    for (std::uint8_t entry = currentLevel(state).buckets[bucketOf(regnum)]; entry != CRSH_DWARF_NO_ENTRY;
         entry = state->entries[entry].next) {
        if (state->entries[entry].rule.regnum == regnum) {
            state->entries[entry].rule = {regnum, type, value};
            return true;
        }
    }
    return appendRule(state, state->level, {regnum, type, value});
}

bool crsh_dwarf_cfa_state_get_rule(const crsh_dwarf_cfa_state* state, std::uint32_t regnum, crsh_dwarf_rule* rule)
{
    for (std::uint8_t entry = currentLevel(state).buckets[bucketOf(regnum)]; entry != CRSH_DWARF_NO_ENTRY;
         entry = state->entries[entry].next) {
        if (state->entries[entry].rule.regnum == regnum) {
            *rule = state->entries[entry].rule;
            return true;
        }
    }
    return false;
}

void crsh_dwarf_cfa_state_remove_rule(crsh_dwarf_cfa_state* state, std::uint32_t regnum)
{
    std::uint8_t* link = &currentLevel(state).buckets[bucketOf(regnum)];
    while (*link != CRSH_DWARF_NO_ENTRY) {
        const std::uint8_t entry = *link;
        if (state->entries[entry].rule.regnum == regnum) {
            *link = state->entries[entry].next;
            state->entries[entry].next = state->free_head;
            state->free_head = entry;
            currentLevel(state).count--;
            return;
        }
        link = &state->entries[entry].next;
    }
}

std::size_t crsh_dwarf_cfa_state_rule_count(const crsh_dwarf_cfa_state* state)
{
    return currentLevel(state).count;
}

void crsh_dwarf_cfa_state_set_cfa_register(crsh_dwarf_cfa_state* state, std::uint32_t regnum, std::uint64_t offset)
{
    currentLevel(state).cfa = {CRSH_DWARF_CFA_REGISTER, regnum, offset, 0};
}

void crsh_dwarf_cfa_state_set_cfa_register_signed(crsh_dwarf_cfa_state* state, std::uint32_t regnum,
                                                  std::int64_t offset)
{
    currentLevel(state).cfa = {CRSH_DWARF_CFA_REGISTER_SIGNED, regnum, static_cast<std::uint64_t>(offset), 0};
}

void crsh_dwarf_cfa_state_set_cfa_expression(crsh_dwarf_cfa_state* state, crsh_vm_address_t address,
                                             std::uint64_t length)
{
    currentLevel(state).cfa = {CRSH_DWARF_CFA_EXPRESSION, 0, address, length};
}

crsh_dwarf_cfa_rule crsh_dwarf_cfa_state_get_cfa(const crsh_dwarf_cfa_state* state)
{
    return currentLevel(state).cfa;
}

bool crsh_dwarf_cfa_state_push(crsh_dwarf_cfa_state* state)
{
    const std::size_t target = state->level + 1u;
    if (target >= CRSH_DWARF_MAX_STATE_LEVELS)
        return false;
    clearLevel(state, target);
    state->levels[target].cfa = currentLevel(state).cfa;
    crsh_dwarf_cfa_state_iterator iterator;
    crsh_dwarf_cfa_state_iterator_init(&iterator, state);
    crsh_dwarf_rule rule;
    while (crsh_dwarf_cfa_state_iterator_next(&iterator, &rule)) {
        if (!appendRule(state, target, rule)) {
            releaseLevel(state, target);
            return false;
        }
    }
    state->level = static_cast<std::uint8_t>(target);
    return true;
}

bool crsh_dwarf_cfa_state_pop(crsh_dwarf_cfa_state* state)
{
    if (state->level == 0)
        return false;
    releaseLevel(state, state->level);
    state->level--;
    return true;
}

void crsh_dwarf_cfa_state_iterator_init(crsh_dwarf_cfa_state_iterator* iterator, const crsh_dwarf_cfa_state* state)
{
    iterator->state = state;
    iterator->bucket = 0;
    iterator->entry = currentLevel(state).buckets[0];
}

bool crsh_dwarf_cfa_state_iterator_next(crsh_dwarf_cfa_state_iterator* iterator, crsh_dwarf_rule* rule)
{
    const auto& level = currentLevel(iterator->state);
    while (iterator->entry == CRSH_DWARF_NO_ENTRY) {
        if (++iterator->bucket >= CRSH_DWARF_RULE_BUCKETS)
            return false;
        iterator->entry = level.buckets[iterator->bucket];
    }
    *rule = iterator->state->entries[iterator->entry].rule;
    iterator->entry = iterator->state->entries[iterator->entry].next;
    return true;
}
