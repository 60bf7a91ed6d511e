// The packaged polkit rule, run the way polkitd runs it: the file's text in a context
// of its own that holds only `polkit`, then its rules asked about actions and
// subjects made like polkitd's. Usage: node polkit_rule_test.js RULES_FILE
'use strict';
const assert = require('node:assert/strict');
const fs = require('node:fs');
const test = require('node:test');
const vm = require('node:vm');

const rulesFile = process.argv[2];
const source = fs.readFileSync(rulesFile, 'utf8');

// polkitd's objects, as polkit(8) describes them.
function load() {
    const polkit = {
        Result: {
            NO: 'no',
            YES: 'yes',
            AUTH_SELF: 'auth_self',
            AUTH_SELF_KEEP: 'auth_self_keep',
            AUTH_ADMIN: 'auth_admin',
            AUTH_ADMIN_KEEP: 'auth_admin_keep',
            NOT_HANDLED: 'not_handled',
        },
        rules: [],
        adminRules: [],
        addRule(fn) { this.rules.push(fn); },
        addAdminRule(fn) { this.adminRules.push(fn); },
        log() {},
        spawn() { throw new Error('the rule must not run programs'); },
    };
    vm.runInNewContext(source, {polkit}, {filename: rulesFile});
    return polkit;
}

function action(id, details) {
    return {id, lookup: (key) => details[key]};
}

function subject(overrides) {
    return Object.assign({
        pid: 4242, user: 'tech', groups: ['tech'], seat: 'seat0', session: '2',
        local: true, active: true, system_unit: undefined,
        isInGroup(g) { return this.groups.includes(g); },
        isInNetGroup() { return false; },
    }, overrides);
}

const manageUnits = 'org.freedesktop.systemd1.manage-units';
const keywarden = (verb) => action(manageUnits, {unit: 'Keywarden.service', verb});

// The first answer of the file's rules, as polkitd takes it (undefined: none).
function ask(act, subj) {
    for (const rule of load().rules) {
        const answer = rule(act, subj);
        if (answer !== undefined && answer !== null) return answer;
    }
    return undefined;
}

test('the file adds one rule and no admin rule', () => {
    const polkit = load();
    assert.equal(polkit.rules.length, 1);
    assert.equal(polkit.adminRules.length, 0);
});

test('polkitd runs ECMAScript 5: the file uses nothing newer', () => {
    const code = source.replace(/\/\/.*$/gm, '');
    for (const newer of [/\blet\s/, /\bconst\s/, /=>/, /`/, /\bclass\s/, /\.includes\(/]) {
        assert.doesNotMatch(code, newer);
    }
});

test('an active local user may stop, start and restart Keywarden.service', () => {
    for (const verb of ['stop', 'start', 'restart']) {
        assert.equal(ask(keywarden(verb), subject({})), 'yes', verb);
    }
    // Whoever that user is: no group is needed.
    assert.equal(ask(keywarden('stop'), subject({user: 'guest', groups: []})), 'yes');
});

test('other verbs on Keywarden.service get no answer', () => {
    for (const verb of ['reload', 'try-restart', 'reload-or-restart', 'reload-or-try-restart',
                        'kill', 'reset-failed', 'clean', 'freeze', 'thaw', 'set-property',
                        'STOP', '', undefined]) {
        assert.equal(ask(keywarden(verb), subject({})), undefined, String(verb));
    }
});

test('other units get no answer', () => {
    for (const unit of ['sshd.service', 'keywarden.service', 'Keywarden', 'Keywarden.socket',
                        'Keywarden.service.bak', 'xKeywarden.service', undefined]) {
        const act = action(manageUnits, {unit, verb: 'stop'});
        assert.equal(ask(act, subject({})), undefined, String(unit));
    }
});

test('an inactive or remote session gets no answer', () => {
    for (const who of [{active: false}, {local: false}, {local: false, active: false}]) {
        assert.equal(ask(keywarden('stop'), subject(who)), undefined, JSON.stringify(who));
    }
});

test('other actions about Keywarden.service get no answer', () => {
    for (const id of ['org.freedesktop.systemd1.manage-unit-files',
                      'org.freedesktop.systemd1.reload-daemon',
                      'org.freedesktop.login1.reboot', 'org.freedesktop.systemd1.manage-units.x']) {
        const act = action(id, {unit: 'Keywarden.service', verb: 'stop'});
        assert.equal(ask(act, subject({})), undefined, id);
    }
});
