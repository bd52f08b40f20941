// The setup page: shows the program's state as the program sends it (an
// event stream) and sends back what is clicked and typed, as the window's
// controls do. It decides nothing itself: the program refuses what may not
// be done now and says why, in Activity, as it does in the window.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const meta = (name) => document.querySelector('meta[name="' + name + '"]').content;

  let token = meta('corvell-token');
  let run = meta('corvell-run');
  let state = null;
  let source = null;
  // What this page has already acted on of the program's counters, so that
  // each rise is acted on once (a page to the front, a box refilled).
  let seen = {};

  // ---- talking to the program ----

  async function send(action, values) {
    let reply = null;
    try {
      const r = await fetch('/setup/api/action', {
        method: 'POST',
        cache: 'no-store',
        headers: { 'Content-Type': 'application/json', 'X-Corvell-Token': token },
        body: JSON.stringify(Object.assign({ action: action }, values || {})),
      });
      const text = await r.text();
      if (!r.ok) message(text.trim());
      else reply = JSON.parse(text);
    } catch (e) {
      message('The program did not answer (' + e.message + ').');
    }
    if (reply && reply.invalidNumber) message(reply.invalidNumber);
    // What a refused click changed on this page is put back.
    if (state) render();
    return reply || {};
  }

  function connect() {
    source = new EventSource('/setup/api/events?token=' + encodeURIComponent(token));
    source.onopen = () => offline(false);
    source.onmessage = (e) => receive(JSON.parse(e.data));
    source.onerror = () => {
      offline(true);
      // Refused (a program started anew has another token): the page is
      // fetched again for it. Otherwise the browser tries again by itself.
      if (source.readyState === EventSource.CLOSED) {
        source = null;
        setTimeout(reconnect, 2000);
      }
    };
  }

  async function reconnect() {
    try {
      const html = await (await fetch('/setup', { cache: 'no-store' })).text();
      const found = /name="corvell-token" content="([0-9a-f]+)"/.exec(html);
      if (!found) throw new Error('no token');
      token = found[1];
      connect();
    } catch (e) {
      setTimeout(reconnect, 2000);
    }
  }

  function receive(m) {
    if (m.run !== run) {
      run = m.run;
      seen = {};
    }
    if (m.fixed) {
      $('SettingsText').textContent = m.fixed.settingsText;
      $('HelpText').textContent = m.fixed.helpText;
    }
    const first = state === null;
    state = m.state;
    render();
    document.body.dataset.version = m.v;
    if (first) performance.mark('corvell-first-state');
  }

  function offline(yes) {
    $('Offline').hidden = !yes;
    document.body.classList.toggle('offline', yes);
  }

  // ---- small helpers ----

  function text(id, t) {
    const e = $(id);
    if (e.textContent !== t) e.textContent = t;
  }

  function setLines(id, lines) {
    const e = $(id);
    const now = Array.from(e.children).map((d) => d.textContent);
    if (now.length === lines.length && now.every((l, i) => l === lines[i])) return;
    e.replaceChildren(...lines.map((l) => {
      const d = document.createElement('div');
      d.textContent = l;
      return d;
    }));
  }

  function show(id, yes) {
    const e = $(id);
    if (e.hidden === yes) e.hidden = !yes;
  }

  function enable(id, yes) {
    const e = typeof id === 'string' ? $(id) : id;
    if (e.disabled === yes) e.disabled = !yes;
  }

  // A counter of the program's that rose since this page last looked.
  function rose(name, value) {
    const before = seen[name];
    seen[name] = value;
    return before !== undefined && before !== value;
  }

  function setRadios(group, index) {
    $(group).querySelectorAll('input[type=radio]').forEach((r) => {
      r.checked = Number(r.value) === index;
    });
  }

  // A box the program fills, unless someone is typing in it.
  function fill(input, value) {
    if (input.dataset.typing === '1') return;
    if (input.value !== value) input.value = value;
  }

  function message(t) {
    text('InvalidText', t);
    show('InvalidNumberMessage', true);
    updateBackdrop();
    $('InvalidOK').focus();
  }

  // ---- the pages ----

  function render() {
    const s = state.screen;
    text('FocuserType', s.focuserType);
    document.title = 'Tav Corvell' + (s.focuserType.trim() ? ' - ' + s.focuserType.trim() : '');
    setLines('PositionDisplay', s.position);
    setLines('ActivityDisplay', s.activity);
    setLines('StatusDisplay', s.status);
    setLines('MaxTravelDisplay', s.maxTravel);
    renderOperate(s);
    renderStored(s);
    renderConfigure(s);
    renderServer(state.server);
    renderDialogs(s);
    renderRefusal(s.refusal);
    if (rose('operatePage', s.operatePage)) choosePage('TabSheet1');
  }

  function renderOperate(s) {
    fill($('StepEdit'), s.stepText);
    fill($('BacklashEdit'), s.backlashText);
    setRadios('BacklashEnable', s.backlashIndex);
    $('BacklashEnable').querySelectorAll('input').forEach((r) => enable(r, !s.noFocuser));
    enable('BacklashEdit', s.backlashEditEnabled);
    $('BacklashAdjust').classList.toggle('disabled', !s.backlashEditEnabled);
  }

  function buildStored() {
    const grid = $('StoredPositions');
    for (let n = 1; n <= 20; ++n) {
      const slot = document.createElement('div');
      slot.className = 'slot';
      slot.innerHTML =
        '<span class="n">' + n + '.</span><span class="pos" id="Pos' + n + '"></span>' +
        '<input class="desc" id="Description' + n + '" maxlength="32" readonly aria-label="Description ' + n + '">' +
        '<button id="Store' + n + '" data-action="store" data-n="' + n + '">Store Position</button>' +
        '<button id="GoTo' + n + '" data-action="goToStored" data-n="' + n + '">Go To</button>' +
        '<button id="Delete' + n + '" data-action="deleteStored" data-n="' + n + '">Delete</button>';
      grid.appendChild(slot);
      const d = slot.querySelector('input');
      d.addEventListener('keydown', (e) => {
        if (e.key === 'Enter' && !d.readOnly) saveDescription(n);
      });
      // Leaving the open box keeps what it holds, as in the window.
      d.addEventListener('blur', () => {
        if (!d.readOnly) saveDescription(n);
      });
      d.addEventListener('input', () => {
        d.dataset.typing = '1';
      });
    }
  }

  async function saveDescription(n) {
    const d = $('Description' + n);
    const reply = await send('description', { n: n, text: d.value });
    if (reply.refused) {
      text('DescriptionHint', reply.refused);
      show('DescriptionHint', true);
      return;
    }
    show('DescriptionHint', false);
    d.dataset.typing = '';
    if (state) render();
  }

  function renderStored(s) {
    for (let i = 0; i < 20; ++i) {
      const n = i + 1;
      text('Pos' + n, s.slots[i].pos);
      const d = $('Description' + n);
      const open = s.descriptionOpen === i;
      if (!open) d.dataset.typing = '';
      fill(d, s.slots[i].description);
      if (d.readOnly === open) d.readOnly = !open;
      // Go To and Delete of an empty slot have nothing to act on.
      enable('Store' + n, !s.noFocuser);
      enable('GoTo' + n, !s.noFocuser && s.slots[i].stored);
      enable('Delete' + n, !s.noFocuser && s.slots[i].stored);
    }
    if (s.descriptionOpen < 0) show('DescriptionHint', false);
    if (rose('descriptionFocus', s.descriptionFocus) && s.descriptionOpen >= 0) {
      const d = $('Description' + (s.descriptionOpen + 1));
      d.focus();
      d.select();
    }
  }

  function renderConfigure(s) {
    const list = $('FocuserList');
    const names = s.focusers.map((f) => f.name);
    const shownNames = Array.from(list.children).map((b) => b.textContent);
    if (names.length !== shownNames.length || names.some((n, i) => n !== shownNames[i])) {
      list.replaceChildren(...names.map((name, row) => {
        const b = document.createElement('button');
        b.setAttribute('role', 'option');
        b.textContent = name;
        b.dataset.action = 'chooseFocuser';
        b.dataset.row = row;
        return b;
      }));
    }
    Array.from(list.children).forEach((b, row) => b.setAttribute('aria-selected', String(row === s.focuserRow)));
    text('EncoderPosition', s.encoderPosition);
    text('EncoderLines', s.encoderLines);
    text('EncoderStep', s.encoderStep);
    text('MaxTravelStop', s.maxTravelStop);
    show('ReinitText', s.reinitTextVisible);
    show('AutoDetectText', s.autoDetectTextVisible);
    text('Connection', s.connection);
    setRadios('Units', s.unitsIndex);
    setRadios('ComPortSelect', s.portIndex);
    setRadios('BaudRateSelect', s.baudIndex);
    for (const id of ['ChangeDescription', 'ManualSetupButton', 'SetEncoder', 'SetMaxTravel', 'MaxTravelOverride',
      'ReinitializeFocuser']) enable(id, !s.noFocuser);
    enable('DeleteFocuser', !s.noFocuser && s.focuserRow >= 0);
  }

  // The Settings page's network group, as the window's group has it.
  function renderServer(v) {
    const form = $('AlpacaSettingsGroup');
    if (form.dataset.typing !== '1') {
      $('AlpacaEnabled').checked = v.enabled;
      $('AlpacaHttpPort').value = v.httpPort;
      $('AlpacaDiscoveryPort').value = v.discoveryPort;
      $('AlpacaLocalNetwork').checked = v.localNetwork;
      $('AlpacaOnlyThisComputer').checked = !v.localNetwork;
      $('AlpacaAnyAddress').checked = v.anyAddress;
      $('AlpacaHostNames').value = v.hostNames;
    }
    enable('AlpacaEnabled', !v.keptOn);
    show('AlpacaKeptOn', v.keptOn);
    showWhoMayConnect();
    text('AlpacaStatus', 'Status: ' + v.status);
  }

  function showWhoMayConnect() {
    const local = $('AlpacaLocalNetwork').checked;
    const anyone = local && $('AlpacaAnyAddress').checked;
    enable('AlpacaAnyAddress', local);
    const note = $('AlpacaNetworkNote');
    note.textContent = !local ? 'Only programs on this computer can move the focuser.'
      : anyone ? 'Anyone who can reach this computer can move the focuser.'
        : "Computers on this computer's own networks can move the focuser.";
    note.classList.toggle('warn', anyone);
  }

  async function applyServer(e) {
    e.preventDefault();
    const port = Number($('AlpacaHttpPort').value);
    const reply = await send('network', {
      enabled: $('AlpacaEnabled').checked,
      httpPort: port,
      discoveryPort: Number($('AlpacaDiscoveryPort').value),
      localNetwork: $('AlpacaLocalNetwork').checked,
      anyAddress: $('AlpacaAnyAddress').checked,
      hostNames: $('AlpacaHostNames').value,
    });
    text('AlpacaRefusal', reply.refused || '');
    show('AlpacaRefusal', !!reply.refused);
    if (reply.refused) return;
    $('AlpacaSettingsGroup').dataset.typing = '';
    // On another port the page is there once the server has restarted.
    const here = Number(location.port || 80);
    if (reply.restarting && port !== here) setTimeout(() => { location.port = String(port); }, 1500);
  }

  // A refused click, on the page where it was made, as in the window; gone
  // when the program clears it. Activity, in view on every page, says it
  // too: on Operate it is all there is, as in the window.
  function renderRefusal(r) {
    const said = r.lines.join(': ');
    for (const [id, place] of [['StoreRefusal', 'store'], ['ConfigureRefusal', 'configure']]) {
      const here = r.place === place && said !== '';
      text(id, here ? said : '');
      show(id, here);
    }
  }

  // ---- dialogs ----

  function renderDialogs(s) {
    show('StopGoToDialog', s.stopGoToVisible);
    show('StopInitDialog', s.stopInitVisible);
    // Shown first: only what is shown can take the focus.
    show('AreYouSureDialog', s.question.visible);
    show('GoToDialog', s.entry.visible);
    show('TextEntryDialog', s.textEntry.visible);
    show('SetupDialog', s.setup.visible);
    show('AutoDetectDialog', s.autoDetect.visible);
    updateBackdrop();
    renderQuestion(s.question);
    renderEntry(s.entry);
    renderTextEntry(s.textEntry);
    renderSetup(s.setup);
    text('AutoDetectResult', s.autoDetect.message);
    if (s.autoDetect.visible && seen.autoDetectShown !== s.autoDetect.id) $('AutoDetectOK').focus();
    seen.autoDetectShown = s.autoDetect.visible ? s.autoDetect.id : null;
  }

  function updateBackdrop() {
    const open = Array.from($('Dialogs').children).some((d) => !d.hidden);
    show('Dialogs', open);
    // Below the top, so that Stop stays in reach.
    $('Dialogs').style.paddingTop = ($('top').offsetHeight + 8) + 'px';
  }

  function renderQuestion(q) {
    if (!q.visible) {
      seen.questionShown = null;
      return;
    }
    text('SureText', q.text);
    text('SureOK', q.yes);
    text('SureCancel', q.no);
    if (seen.questionShown !== q.id) $('SureOK').focus();
    seen.questionShown = q.id;
  }

  function renderEntry(e) {
    if (!e.visible) {
      seen.entryShown = null;
      return;
    }
    text('GoToCaption', e.caption);
    text('GoToLabel', e.label);
    text('PositionUnit', e.unit);
    const key = e.id + ':' + e.refill;
    if (seen.entryShown !== key) {
      seen.entryShown = key;
      const box = $('PositionEdit');
      box.value = e.preset;
      box.dataset.edited = '';
      box.focus();
      box.select();
    }
  }

  function renderTextEntry(t) {
    if (!t.visible) {
      seen.textShown = null;
      return;
    }
    if (seen.textShown !== t.id) {
      seen.textShown = t.id;
      const box = $('EnterText');
      box.value = t.text;
      text('EnterTextHint', t.refusal);
      show('EnterTextHint', !!t.refusal);
      box.focus();
      box.select();
    }
  }

  function renderSetup(p) {
    if (!p.visible) {
      seen.setupFocus = null;
      return;
    }
    text('SetupCaption', p.caption);
    text('SetupText1', p.text1);
    show('SetupText1', !!p.text1);
    text('SetupText2', p.text2);
    show('SetupText2', !!p.text2);
    show('SetupCount', p.showPosition);
    text('SetupPosition', p.showPosition ? p.position : '');
    text('EncoderEntry', p.entryLabel);
    show('EncoderEntryRow', p.showDescription);
    if (!p.showDescription) show('SetupDescriptionHint', false);
    show('MaximumRow', p.showMaximum);
    if (rose('descriptionRefill', p.descriptionRefill) || seen.setupPage !== p.id) $('FocuserDescription').value = p.description;
    if (rose('maximumRefill', p.maximumRefill) || seen.setupPage !== p.id) $('MaximumEdit').value = p.maximum;
    text('SetupRefusal', p.refusal);
    show('SetupRefusal', !!p.refusal);
    renderChoices(p);
    const buttons = [['SetupBack', p.showBack, p.backCaption], ['SetupOK', p.showOk, p.okCaption],
      ['SetupCancel', p.showCancel, p.cancelCaption]];
    for (const [id, visible, caption] of buttons) {
      show(id, visible);
      text(id, caption.replace('&', ''));
    }
    enable('SetupOK', p.okEnabled);
    $('SetupOK').classList.toggle('default', p.defaultButton === 'ok');
    $('SetupCancel').classList.toggle('default', p.defaultButton === 'cancel');
    const focusKey = p.id + ':' + p.focusCount;
    if (seen.setupFocus !== focusKey) {
      seen.setupFocus = focusKey;
      focusSetup(p);
    }
    seen.setupPage = p.id;
  }

  function renderChoices(p) {
    const group = $('SetupModeSelect');
    show('SetupModeSelect', p.choices.length > 0);
    const shownChoices = Array.from(group.querySelectorAll('label')).map((l) => l.textContent.trim());
    if (shownChoices.length !== p.choices.length || p.choices.some((c, i) => c !== shownChoices[i])) {
      group.replaceChildren(...p.choices.map((c, i) => {
        const label = document.createElement('label');
        const r = document.createElement('input');
        r.type = 'radio';
        r.name = 'SetupModeSelect';
        r.value = i;
        label.append(r, ' ' + c);
        return label;
      }));
    }
    setRadios('SetupModeSelect', p.choice);
  }

  // The focus goes where the setup page says, else to its default button,
  // else to its first choice.
  function focusSetup(p) {
    const targets = { description: 'FocuserDescription', maximum: 'MaximumEdit', ok: 'SetupOK' };
    let target = targets[p.focus] && $(targets[p.focus]);
    const visible = (e) => e && e.offsetParent !== null && !e.disabled;
    if (!visible(target)) {
      target = p.defaultButton === 'ok' && visible($('SetupOK')) ? $('SetupOK')
        : p.choices.length ? $('SetupModeSelect').querySelectorAll('input')[Math.max(0, p.choice)]
          : p.defaultButton === 'cancel' ? $('SetupCancel') : null;
    }
    if (visible(target)) {
      target.focus();
      if (target.select) target.select();
    }
  }

  function setupId() {
    return state.screen.setup.id;
  }

  async function setupText(action, box, hint) {
    const reply = await send(action, { id: setupId(), text: box.value });
    text(hint, reply.refused || '');
    show(hint, !!reply.refused);
  }

  // ---- what the user does ----

  // Buttons that name their action.
  function clicked(e) {
    const b = e.target.closest('button[data-action]');
    if (!b || b.disabled) return;
    const values = {};
    if (b.dataset.n) values.n = Number(b.dataset.n);
    if (b.dataset.row) values.row = Number(b.dataset.row);
    if (b.dataset.direction) values.direction = Number(b.dataset.direction);
    send(b.dataset.action, values);
  }

  // A radio group of the program's choices: the port and speed act on a
  // click of the choice already made too (the port is opened again).
  function choiceGroup(id, onEveryClick) {
    const group = $(id);
    group.addEventListener(onEveryClick ? 'click' : 'change', (e) => {
      if (e.target.type === 'radio') send(group.dataset.action, { index: Number(e.target.value) });
    });
  }

  // The step and backlash boxes: what is typed goes to the program when
  // the box is left or Return is pressed; Escape gives the box back.
  function entryBox(id, action) {
    const box = $(id);
    box.addEventListener('input', () => { box.dataset.typing = '1'; });
    const done = () => {
      if (box.dataset.typing !== '1') return;
      box.dataset.typing = '';
      send(action, { typed: true, text: box.value });
    };
    box.addEventListener('blur', done);
    box.addEventListener('keydown', (e) => {
      if (e.key === 'Enter') done();
      if (e.key === 'Escape') {
        box.dataset.typing = '';
        render();
      }
    });
  }

  function choosePage(id) {
    document.querySelectorAll('nav[role=tablist] button').forEach((t) => {
      t.setAttribute('aria-selected', String(t.dataset.page === id));
    });
    document.querySelectorAll('main .page').forEach((p) => { p.hidden = p.id !== id; });
  }

  function theme(name) {
    document.documentElement.dataset.theme = name;
    $('Theme').value = name;
  }

  function wireDialogs() {
    const s = () => state.screen;
    $('SureOK').onclick = () => send('answer', { id: s().question.id, yes: true });
    $('SureCancel').onclick = () => send('answer', { id: s().question.id, yes: false });
    const box = $('PositionEdit');
    box.addEventListener('input', () => { box.dataset.edited = '1'; });
    const entryOk = () => send('entryOk', { id: s().entry.id, text: box.value, edited: box.dataset.edited === '1' });
    $('GoToOK').onclick = entryOk;
    $('GoToCancel').onclick = () => send('entryCancel', { id: s().entry.id });
    box.addEventListener('keydown', (e) => { if (e.key === 'Enter') entryOk(); });
    const textOk = async () => {
      const reply = await send('textOk', { id: s().textEntry.id, text: $('EnterText').value });
      text('EnterTextHint', reply.refused || '');
      show('EnterTextHint', !!reply.refused);
    };
    $('TextOK').onclick = textOk;
    $('TextCancel').onclick = () => send('textCancel', { id: s().textEntry.id });
    $('EnterText').addEventListener('keydown', (e) => { if (e.key === 'Enter') textOk(); });
    $('AutoDetectOK').onclick = () => send('autoDetectOk', { id: s().autoDetect.id });
    $('InvalidOK').onclick = () => {
      show('InvalidNumberMessage', false);
      updateBackdrop();
    };
    wireSetup();
    // Escape: as closing the window's dialog.
    document.addEventListener('keydown', (e) => {
      if (e.key !== 'Escape' || !state) return;
      const v = s();
      if (!$('InvalidNumberMessage').hidden) $('InvalidOK').click();
      else if (v.question.visible) send('closeQuestion', { id: v.question.id });
      else if (v.entry.visible) send('entryCancel', { id: v.entry.id });
      else if (v.textEntry.visible) send('textCancel', { id: v.textEntry.id });
      else if (v.setup.visible) send('setupCancel', { id: v.setup.id });
      else if (v.autoDetect.visible) send('autoDetectOk', { id: v.autoDetect.id });
    });
  }

  function wireSetup() {
    const description = $('FocuserDescription');
    const maximum = $('MaximumEdit');
    $('SetupBack').onclick = () => send('setupBack', { id: setupId() });
    $('SetupCancel').onclick = () => send('setupCancel', { id: setupId() });
    $('SetupOK').onclick = async () => {
      const reply = await send('setupOk', { id: setupId(), description: description.value, maximum: maximum.value });
      text('SetupDescriptionHint', reply.refused || '');
      show('SetupDescriptionHint', !!reply.refused);
    };
    $('SetupModeSelect').addEventListener('click', (e) => {
      if (e.target.type === 'radio') send('setupChoice', { id: setupId(), index: Number(e.target.value) });
    });
    description.addEventListener('keydown', (e) => {
      if (e.key === 'Enter') setupText('setupDescription', description, 'SetupDescriptionHint');
    });
    maximum.addEventListener('keydown', (e) => {
      if (e.key === 'Enter') setupText('setupMaximum', maximum, 'SetupRefusal');
    });
    maximum.addEventListener('input', () => {
      if (!state.screen.setup.okEnabled) send('setupMaximumTyped', { id: setupId() });
    });
    // Return elsewhere on the page presses its default button.
    $('SetupDialog').addEventListener('keydown', (e) => {
      if (e.key !== 'Enter' || e.target.tagName === 'INPUT' || e.target.tagName === 'BUTTON') return;
      const d = state.screen.setup.defaultButton;
      if (d === 'ok') $('SetupOK').click();
      if (d === 'cancel') $('SetupCancel').click();
    });
  }

  function wire() {
    buildStored();
    document.addEventListener('click', clicked);
    choiceGroup('BacklashEnable', false);
    choiceGroup('Units', false);
    choiceGroup('ComPortSelect', true);
    choiceGroup('BaudRateSelect', true);
    entryBox('StepEdit', 'stepIncrement');
    entryBox('BacklashEdit', 'backlashDistance');
    document.querySelectorAll('nav[role=tablist] button').forEach((t) => {
      t.addEventListener('click', () => choosePage(t.dataset.page));
    });
    const form = $('AlpacaSettingsGroup');
    form.addEventListener('input', () => {
      form.dataset.typing = '1';
      showWhoMayConnect();
    });
    form.addEventListener('submit', applyServer);
    wireDialogs();
    let chosen = null;
    try { chosen = localStorage.getItem('corvell-theme'); } catch (e) { /* no storage: the default */ }
    theme(chosen || (matchMedia('(prefers-color-scheme: light)').matches ? 'day' : 'dark'));
    $('Theme').addEventListener('change', () => {
      theme($('Theme').value);
      try { localStorage.setItem('corvell-theme', $('Theme').value); } catch (e) { /* kept for this visit */ }
    });
    window.addEventListener('resize', updateBackdrop);
  }

  wire();
  connect();
})();
